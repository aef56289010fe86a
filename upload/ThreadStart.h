// Starting a thread the system may refuse (a process-count limit, a stack limit larger
// than the memory there is): QThread::start then only prints a warning, so its caller
// must look whether the thread runs.
#pragma once

#include <functional>

class QThread;

// Starts `thread`; true when it runs or has already run, false when it never will.
bool startThread(QThread &thread);

// Makes startThread refuse the threads the predicate names, as the system would,
// without starting them. An empty predicate restores the real starts.
void setThreadStartRefusedForTesting(std::function<bool(const QThread &thread)> refused);
