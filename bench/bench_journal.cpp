// Journal growth: appends coloured lines to the main window's journal and reports the
// time per 1,000 lines at the start and at the end (it must not grow with the journal)
// and the peak resident set size. Run: QT_QPA_PLATFORM=offscreen bench_journal [lines]
#include "app/main.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTextDocument>
#include <QTextEdit>

#include <cstdio>
#include <sys/resource.h>

int main(int argc, char **argv)
{
    constexpr int defaultLines = 100000;
    constexpr int batch = 1000;
    const int lines = argc > 1 ? qMax(batch, atoi(argv[1]) / batch * batch) : defaultLines;

    QApplication application(argc, argv);
    TForm1 form;
    form.show();
    QCoreApplication::processEvents();

    QList<double> batchMs;
    QElapsedTimer total;
    total.start();
    for (int done = 0; done < lines; done += batch) {
        QElapsedTimer clock;
        clock.start();
        for (int i = done; i < done + batch; ++i) {
            const QString text
                = QStringLiteral("Строка %1 реестра обработана: объект добавлен").arg(i);
            switch (i % 4) {
            case 0: form.addMessage(text); break;
            case 1: form.addOkMessage(text); break;
            case 2: form.addWarningMessage(text); break;
            default: form.addErrorMessage(text); break;
            }
        }
        QCoreApplication::processEvents(); // let the view lay out and paint, as between ticks
        batchMs << clock.nsecsElapsed() / 1e6;
    }

    auto average = [&](int from, int count) {
        double sum = 0;
        for (int i = from; i < from + count; ++i)
            sum += batchMs.at(i);
        return sum / count;
    };
    const int window = qMin(10, int(batchMs.size()));
    struct rusage usage {
    };
    getrusage(RUSAGE_SELF, &usage);
    std::printf("lines: %d (a quarter each plain, ok, warning, error)\n", lines);
    std::printf("first %d batches: %.1f ms per 1,000 lines\n", window, average(0, window));
    std::printf("last %d batches:  %.1f ms per 1,000 lines\n", window,
        average(int(batchMs.size()) - window, window));
    std::printf("total: %.1f s; journal blocks: %d; shift: %d\n", total.elapsed() / 1000.0,
        form.reMessages->document()->blockCount(), form.shift);
    std::printf("peak RSS: %.1f MiB\n", usage.ru_maxrss / 1024.0);
    return 0;
}
