#include "app/main.h"

#include "app/MessageBoxes.h"
#include "app/RtfWriter.h"
#include "app/uLaunchParams.h"
#include "diag/Exception.h"
#include "diag/TimeTexts.h"
#include "diag/uLogWriter.h"
#include "net/UploadService.h"
#include "upload/uUploadData.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSemaphore>
#include <QTextBlock>
#include <QTextEdit>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>
#include <exception>
#include <mutex>
#include <thread>

TForm1 *Form1 = nullptr;

namespace
{

// Sizes in pixels at 96 dots per inch.
constexpr int clientWidth = 986;
constexpr int clientHeight = 343;
constexpr int panelHeight = 80;
constexpr int panelHeightWithoutAddress = 50;
constexpr int buttonHeight = 32;
constexpr int checkBoxHeight = 17;
constexpr int label2Height = 13;
constexpr int labelLeft = 8;
constexpr int labelTop = 11;
constexpr int serverFieldLeft = 93;
constexpr int serverFieldTop = 7;
constexpr int serverFieldHeight = 21;
constexpr int fontPixelSize = 11;
// How often a thread waiting on the window looks whether the window is closing.
constexpr int closingCheckMs = 20;

std::mutex stampMutex;
std::function<std::pair<QString, QString>()> stampOverride;

std::pair<QString, QString> journalStamp()
{
    {
        std::lock_guard lock(stampMutex);
        if (stampOverride)
            return stampOverride();
    }
    const QString date = shortDateText(QDate::currentDate());
    return {date, longTimeText(QTime::currentTime())};
}

QFont baseFont()
{
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(fontPixelSize);
    return font;
}

QColor kindColor(JournalKind kind)
{
    switch (kind) {
    case JournalKind::Ok: return QColor::fromRgb(okLineRgb);
    case JournalKind::Warning: return QColor::fromRgb(warningLineRgb);
    case JournalKind::Error: return QColor::fromRgb(errorLineRgb);
    case JournalKind::Plain: break;
    }
    return {};
}

// The journal as paragraphs of formatted runs, read from the view's document.
QList<RtfParagraph> journalParagraphs(const QTextDocument &document)
{
    QList<RtfParagraph> paragraphs;
    if (document.isEmpty())
        return paragraphs;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        RtfParagraph paragraph;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat format = fragment.charFormat();
            RtfRun run;
            run.text = fragment.text();
            if (format.hasProperty(QTextFormat::ForegroundBrush))
                run.color = format.foreground().color();
            run.bold = format.fontWeight() >= QFont::Bold;
            paragraph << run;
        }
        paragraphs << paragraph;
    }
    return paragraphs;
}

} // namespace

TForm1::TForm1(QWidget *parent)
    : QMainWindow(parent)
{
    buildControls();
    FormCreate();
}

TForm1::~TForm1()
{
    prepareForExit();
    // Wait for a poll still in flight so its thread never outlives the poll client.
    while (fetchBusy.load())
        QThread::msleep(closingCheckMs);
    // A job still running ends now: its post is aborted and its calls on the window
    // return at once, so it never outlives the job client it posts through.
    if (TDataUploader *job = dataUploader.data()) {
        job->cancel();
        job->wait();
        delete job;
    }
}

void TForm1::buildControls()
{
    setWindowTitle(QStringLiteral("Загрузка реестра на сервер"));
    setFont(baseFont());

    N1 = menuBar()->addMenu(QStringLiteral("Файл"));
    N3 = N1->addAction(QStringLiteral("Сохранить результаты загрузки"));
    N2 = N1->addAction(QStringLiteral("Выход"));
    connect(N3, &QAction::triggered, this, &TForm1::N3Click);
    connect(N2, &QAction::triggered, this, &TForm1::N2Click);

    auto *client = new QWidget(this);
    auto *column = new QVBoxLayout(client);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    setCentralWidget(client);

    Panel1 = new QWidget(client);
    Panel1->setFixedHeight(panelHeight);
    Panel1->installEventFilter(this);
    Label1 = new QLabel(QStringLiteral("Адрес сервера:"), Panel1);
    Label1->setTextFormat(Qt::PlainText);
    edtServer = new QLineEdit(defaultServerAddress, Panel1);
    Button1 = new QPushButton(QStringLiteral("Загрузить реестр"), Panel1);
    edtDrawTiles = new QCheckBox(QStringLiteral("НЕ отрисовывать объекты на карте"), Panel1);
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    column->addWidget(Panel1);

    Label2 = new QLabel(QStringLiteral("Журнал работы:"), client);
    Label2->setTextFormat(Qt::PlainText);
    Label2->setFixedHeight(label2Height);
    column->addWidget(Label2);

    reMessages = new QTextEdit(client);
    reMessages->setReadOnly(true);
    reMessages->setAcceptRichText(false);
    reMessages->setLineWrapMode(QTextEdit::WidgetWidth);
    reMessages->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    reMessages->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    reMessages->document()->setUndoRedoEnabled(false); // the journal only grows; no undo
    reMessages->document()->setDefaultFont(baseFont());
    // The selection shows only while the view has the focus. Empty brushes, not colours:
    // a colour would repaint the selected (newest) line in it and hide its own colour.
    QPalette palette = reMessages->palette();
    palette.setBrush(QPalette::Inactive, QPalette::Highlight, QBrush(Qt::NoBrush));
    palette.setBrush(QPalette::Inactive, QPalette::HighlightedText, QBrush(Qt::NoBrush));
    reMessages->setPalette(palette);
    connect(reMessages, &QTextEdit::textChanged, this, &TForm1::reMessagesChange);
    column->addWidget(reMessages, 1);

    setTabOrder(Button1, edtDrawTiles);
    setTabOrder(edtDrawTiles, edtServer);
    setTabOrder(edtServer, reMessages);

    od = new QFileDialog(this, QStringLiteral("Выберите файл реестра УНМЗ"));
    od->setAcceptMode(QFileDialog::AcceptOpen);
    // A typed name of a missing file is accepted: the job reports it as inaccessible.
    od->setFileMode(QFileDialog::AnyFile);
    od->setNameFilters(
        {QStringLiteral("Документ Excel (*.xls *.xlsx)"), QStringLiteral("Все файлы (*.*)")});

    sd = new QFileDialog(this, QStringLiteral("Сохранить результаты загрузки УНМЗ"));
    sd->setAcceptMode(QFileDialog::AcceptSave);
    sd->setFileMode(QFileDialog::AnyFile);
    sd->setNameFilter(QStringLiteral("Текстовые документы (*.rtf)"));
    sd->selectFile(QStringLiteral("Результаты загрузки реестра УНМЗ"));
    sd->setDefaultSuffix(QStringLiteral("rtf"));
    sd->setOption(QFileDialog::DontConfirmOverwrite);

    Timer1 = new QTimer(this);
    Timer1->setInterval(pollIntervalMs);
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
    Timer2 = new QTimer(this);
    Timer2->setInterval(completionIntervalMs);
    connect(Timer2, &QTimer::timeout, this, &TForm1::Timer2Timer);

    resize(clientWidth, clientHeight + menuBar()->sizeHint().height());
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TForm1::FormCreate()
{
    guarded("TForm1.FormCreate: ", [&] {
        http = std::make_unique<FormPostClient>();
        timerHttp = std::make_unique<FormPostClient>();
        http->setRequestContentType(QStringLiteral("multipart/form-data"));
        process = false;
        processOk = false;
        if (checkParams(QStringLiteral("ADR"))) {
            edtServer->setText(getParamValue(QStringLiteral("ADR")));
            edtServer->setReadOnly(true);
            edtServer->hide();
            Label1->hide();
            Panel1->setFixedHeight(panelHeightWithoutAddress);
            buttonFillsPanel = true;
            layoutPanel1();
        }
        setWindowTitle(QStringLiteral("Загрузка реестра на сервер %1 sid:%2")
                           .arg(edtServer->text(), getParamValue(QStringLiteral("sid"))));
    });
}

// Panel1 docks its controls as the window toolkit's top panel would: the check box at the
// bottom, the button above it (or filling the rest when the address band is hidden), and
// the address field stretching to the right edge.
void TForm1::layoutPanel1()
{
    const int width = Panel1->width();
    const int height = Panel1->height();
    edtDrawTiles->setGeometry(0, height - checkBoxHeight, width, checkBoxHeight);
    if (buttonFillsPanel)
        Button1->setGeometry(0, 0, width, height - checkBoxHeight);
    else
        Button1->setGeometry(0, height - checkBoxHeight - buttonHeight, width, buttonHeight);
    const QSize labelSize = Label1->sizeHint();
    Label1->setGeometry(labelLeft, labelTop, labelSize.width(), labelSize.height());
    // A substitute for Tahoma may draw the label wider: the field then starts after it.
    const int fieldLeft = qMax(serverFieldLeft, labelLeft + labelSize.width() + 4);
    edtServer->setGeometry(
        fieldLeft, serverFieldTop, qMax(0, width - fieldLeft), serverFieldHeight);
}

bool TForm1::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == Panel1 && event->type() == QEvent::Resize)
        layoutPanel1();
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::N2Click()
{
    guarded("TForm1.N2Click: ", [&] {
        prepareForExit();
        QCoreApplication::quit();
    });
}

void TForm1::closeEvent(QCloseEvent *event)
{
    prepareForExit();
    event->accept();
}

void TForm1::prepareForExit()
{
    if (closing->exchange(true))
        return;
    Timer1->stop();
    Timer2->stop();
    // The job learns it is being abandoned before its post fails, so it logs nothing.
    if (TDataUploader *job = dataUploader.data())
        job->cancel();
    if (http)
        http->abort();
    if (timerHttp)
        timerHttp->abort();
}

QString registerExtension(const QString &path)
{
    const QString name = path.mid(path.lastIndexOf(u'/') + 1);
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot < 0 ? QString() : name.mid(dot);
}

QString TForm1::chooseRegister()
{
    if (od->exec() != QDialog::Accepted)
        return {};
    const QStringList chosen = od->selectedFiles();
    return chosen.isEmpty() ? QString() : chosen.first();
}

void TForm1::Button1Click()
{
    guarded("TForm1.Button1Click: ", [&] {
        resetJournal();
        const QString registerPath = chooseRegister();
        if (registerPath.isEmpty()) {
            addErrorMessage(QStringLiteral("Не выбран файл реестра. Загрузка файлов не выполнена"));
            return;
        }
        if (!registerExtension(registerPath).contains(QStringLiteral("xls"))) {
            addErrorMessage(QStringLiteral(
                "Файл реестра должен быть документом Excel! Загрузка файлов не выполнена"));
            return;
        }
        // The second clear resets the counters too: a completion line that arrived while
        // the dialog was open must not shift the numbers and colours of the lines to come.
        resetJournal();
        if (getParamValue(QStringLiteral("auth")) != QStringLiteral("false")) {
            // Nothing may start the command again while the service decides.
            Button1->setEnabled(false);
            const bool authorised = auth();
            if (isClosing())
                return;
            if (!authorised) {
                Button1->setEnabled(true);
                showMessageBox(this, BoxIcon::Error, QStringLiteral("Ошибка авторизации"),
                    QStringLiteral("Программе не удалось авторизоваться на сервере для загрузки "
                                   "реестра УНМЗ! \r\nВероятно пользователь скачавший приложение "
                                   "завершил работу на сервере или его сессия завершилась. \r\n"
                                   "Пожалуйста, попробуйте скачать приложение и загрузить реестр "
                                   "заново. \r\nЕсли ошибка повторится - обратитесь к разработчику "
                                   "приложения."));
                addErrorMessage(QStringLiteral(
                    "Программе не удалось авторизоваться на сервере для загрузки реестра УНМЗ!"));
                return;
            }
        }
        dataUploader = new TDataUploader(edtServer->text(), registerPath, http.get(), this);
    });
}

bool TForm1::auth()
{
    bool result = true;
    try {
        auto lHTTP = std::make_unique<FormPostClient>();
        lHTTP->setRequestContentType(QStringLiteral("multipart/form-data"));
        std::shared_ptr<MultipartForm> lParam
            = UploadService::authForm(getParamValue(QStringLiteral("sid")));
        const QString answer = postOffUiThread(*lHTTP, edtServer->text(), std::move(lParam));
        const QString server = getParamValue(QStringLiteral("adr"));
        if (UploadService::isSuccess(answer)) {
            addOkMessage(QStringLiteral("Успешная авторизация на сервере \"%1\"!").arg(server));
        } else {
            addErrorMessage(QStringLiteral(
                "НЕУДАЧНАЯ АВТОРИЗАЦИЯ на сервере \"%1\"! Вероятно пользователь скачавший "
                "приложение не имеет права загружать реестр, завершил работу на сервере или его "
                "сессия завершилась автоматически. Пожалуйста, проверьте что у Вас есть права на "
                "загрузку реестра и повторите загрузку, заново скачав приложениеЕсли ошибка "
                "повторится - обратитесь к разработчику приложения.")
                                .arg(server));
            result = false;
        }
    } catch (const std::exception &failure) {
        logFailure("TForm1.auth: ", &failure);
        result = false;
    } catch (...) {
        logFailure("TForm1.auth: ", nullptr);
        result = false;
    }
    return result;
}

// ---- journal ----

void TForm1::setJournalStampForTesting(std::function<std::pair<QString, QString>()> stamp)
{
    std::lock_guard lock(stampMutex);
    stampOverride = std::move(stamp);
}

bool TForm1::onUiThread() const
{
    return QThread::currentThread() == thread();
}

void TForm1::runOnUi(std::function<void()> step)
{
    const std::shared_ptr<std::atomic<bool>> closingFlag = closing;
    if (closingFlag->load())
        return;
    if (onUiThread()) {
        step();
        return;
    }
    auto done = std::make_shared<QSemaphore>(0);
    QMetaObject::invokeMethod(
        this,
        [closingFlag, step = std::move(step), done] {
            if (!closingFlag->load())
                step();
            done->release();
        },
        Qt::QueuedConnection);
    // Never a plain blocking call: the UI thread may itself be waiting for this thread.
    while (!done->tryAcquire(1, closingCheckMs))
        if (closingFlag->load())
            return;
}

bool TForm1::appendPlain(const QString &s)
{
    ++num; // a failed append still uses up its number
    return guarded("TForm1.addMessage: ", [&] {
        const auto [date, time] = journalStamp();
        const QString line = journalViewText(journalLineText(num, date, time, s));

        QTextDocument *document = reMessages->document();
        QTextCursor cursor(document);
        cursor.movePosition(QTextCursor::End);
        const QTextCharFormat base; // the view's default font, colour and weight
        // Plain text always: a line is never read as markup.
        if (!document->isEmpty())
            cursor.insertBlock(QTextBlockFormat(), base);
        cursor.insertText(line, base);

        cursor.setPosition(shift);
        cursor.setPosition(shift + int(line.size()), QTextCursor::KeepAnchor);
        reMessages->setTextCursor(cursor);
        const QTextCursor selection = reMessages->textCursor();
        shift = nextLineStart(
            selection.selectionStart(), selection.selectionEnd() - selection.selectionStart());
    });
}

void TForm1::addColouredLine(const char *place, JournalKind kind, const QString &s)
{
    guarded(place, [&] {
        // Without a new line the selection is still the line before: leave it alone.
        if (!appendPlain(s))
            return;
        QTextCharFormat format;
        format.setForeground(kindColor(kind));
        format.setFontWeight(QFont::Bold);
        QTextCursor selection = reMessages->textCursor();
        selection.mergeCharFormat(format);
    });
}

void TForm1::addMessage(const QString &s)
{
    if (!onUiThread())
        return runOnUi([this, s] { addMessage(s); });
    appendPlain(s);
}

void TForm1::addOkMessage(const QString &s)
{
    if (!onUiThread())
        return runOnUi([this, s] { addOkMessage(s); });
    addColouredLine("TForm1.addOkMessage: ", JournalKind::Ok, s);
}

void TForm1::addWarningMessage(const QString &s)
{
    if (!onUiThread())
        return runOnUi([this, s] { addWarningMessage(s); });
    addColouredLine("TForm1.addWarningMessage: ", JournalKind::Warning, s);
}

void TForm1::addErrorMessage(const QString &s)
{
    if (!onUiThread())
        return runOnUi([this, s] { addErrorMessage(s); });
    addColouredLine("TForm1.addErrorMessage: ", JournalKind::Error, s);
}

void TForm1::addLine(JournalKind kind, const QString &s)
{
    switch (kind) {
    case JournalKind::Plain: return addMessage(s);
    case JournalKind::Ok: return addOkMessage(s);
    case JournalKind::Warning: return addWarningMessage(s);
    case JournalKind::Error: return addErrorMessage(s);
    }
}

void TForm1::resetJournal()
{
    shift = 0;
    num = 0;
    reMessages->clear();
}

void TForm1::reMessagesChange()
{
    QScrollBar *bar = reMessages->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void TForm1::N3Click()
{
    guarded("TForm1.N3Click: ", [&] {
        if (sd->exec() != QDialog::Accepted)
            return;
        const QStringList chosen = sd->selectedFiles();
        if (chosen.isEmpty())
            return;
        saveJournal(chosen.first());
    });
}

void TForm1::saveJournal(const QString &path)
{
    const QByteArray rtf = rtfDocument(journalParagraphs(*reMessages->document()));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw Exception(
            QStringLiteral("Cannot create file \"%1\". %2").arg(path, file.errorString()));
    if (file.write(rtf) != rtf.size() || !file.flush())
        throw Exception(
            QStringLiteral("Cannot write file \"%1\". %2").arg(path, file.errorString()));
}

// ---- the upload job's side of the window ----

void TForm1::jobLine(LineKind kind, const QString &text)
{
    addLine(kind == LineKind::Error ? JournalKind::Error : JournalKind::Plain, text);
}

void TForm1::setUploadButtonEnabled(bool enabled)
{
    runOnUi([this, enabled] { Button1->setEnabled(enabled); });
}

void TForm1::setPollTimerActive(bool active)
{
    runOnUi([this, active] {
        if (active)
            Timer1->start();
        else
            Timer1->stop();
    });
}

void TForm1::startCompletionTimer()
{
    runOnUi([this] { Timer2->start(); });
}

bool TForm1::drawTilesSuppressed()
{
    // Atomic: a wait given up at exit may return while the UI thread still writes it.
    auto ticked = std::make_shared<std::atomic<bool>>(false);
    runOnUi([this, ticked] { *ticked = edtDrawTiles->isChecked(); });
    return ticked->load();
}

void TForm1::setProcess(bool running)
{
    runOnUi([this, running] { process = running; });
}

void TForm1::setProcessOk(bool ok)
{
    runOnUi([this, ok] { processOk = ok; });
}

void TForm1::setSessionId(const QString &id)
{
    runOnUi([this, id] { sessionId = id; });
}

// ---- progress relay ----

void TForm1::Timer1Timer()
{
    guarded("TForm1.Timer1Timer: ", [&] { Button3Click(); });
}

void TForm1::Button3Click()
{
    guarded("TForm1.Button3Click: ", [&] { getLogFromServer(); });
}

bool TForm1::tryBeginFetch()
{
    bool idle = false;
    return fetchBusy.compare_exchange_strong(idle, true);
}

void TForm1::endFetch()
{
    fetchBusy = false;
}

void TForm1::getLogFromServer()
{
    if (!onUiThread())
        return finalFetchFromWorker();
    if (isClosing())
        return;
    // The poll client serves one fetch at a time: a tick that finds one in flight
    // (a slow poll, or the job's final fetch) starts none.
    if (!tryBeginFetch())
        return;
    guarded("TForm1.getLogFromServer: ", [&] {
        const QString reply = pollOffUiThread(edtServer->text(), sessionId);
        if (!isClosing())
            relayProgress(reply);
    });
    endFetch();
}

void TForm1::runFinalFetch()
{
    if (onUiThread())
        return getLogFromServer();
    finalFetchFromWorker();
}

void TForm1::finalFetchFromWorker()
{
    const std::shared_ptr<std::atomic<bool>> closingFlag = closing;
    while (!tryBeginFetch()) {
        if (closingFlag->load())
            return;
        QThread::msleep(closingCheckMs);
    }
    guarded("TForm1.getLogFromServer: ", [&] {
        auto address = std::make_shared<std::pair<QString, QString>>();
        runOnUi([this, address] { *address = {edtServer->text(), sessionId}; });
        if (closingFlag->load())
            return;
        // This thread may block on the service; the lines are added on the UI thread.
        QString reply;
        try {
            reply = UploadService::send(
                *timerHttp, address->first, *UploadService::progressForm(address->second));
        } catch (...) {
            if (closingFlag->load())
                return; // cut short at exit: no failure worth a log line
            throw;
        }
        runOnUi(
            [this, reply] { guarded("TForm1.getLogFromServer: ", [&] { relayProgress(reply); }); });
    });
    endFetch();
}

QString TForm1::pollOffUiThread(const QString &baseAddress, const QString &sid)
{
    return postOffUiThread(*timerHttp, baseAddress, UploadService::progressForm(sid));
}

QString TForm1::postOffUiThread(
    FormPostClient &client, const QString &baseAddress, std::shared_ptr<MultipartForm> form)
{
    struct Outcome {
        std::atomic<bool> done{false};
        QString reply;
        std::exception_ptr failure;
    };
    auto outcome = std::make_shared<Outcome>();
    QEventLoop loop;
    FormPostClient *target = &client;
    std::thread worker([outcome, target, baseAddress, form, &loop] {
        try {
            outcome->reply = UploadService::send(*target, baseAddress, *form);
        } catch (...) {
            outcome->failure = std::current_exception();
        }
        outcome->done = true;
        // The UI thread joins this thread before `loop` goes, so the call is safe.
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    // The window stays live while the service answers; the loop ends early only when the
    // application is quitting, and then the post is cut short.
    if (!outcome->done)
        loop.exec();
    if (!outcome->done)
        target->abort();
    worker.join();
    // A post cut short because the window is closing is no failure worth a log line.
    if (outcome->failure && !isClosing())
        std::rethrow_exception(outcome->failure);
    return outcome->reply;
}

void TForm1::relayProgress(const QString &reply)
{
    if (reply.isEmpty())
        return;
    for (const QString &item : UploadService::progressItems(reply)) {
        const ProgressLine line = classifyProgressItem(item);
        if (line.complete)
            Timer1->stop();
        else
            addLine(line.kind, line.text);
    }
    QCoreApplication::processEvents();
}

// ---- completion notice ----

void TForm1::Timer2Timer()
{
    guarded("TForm1.Timer2Timer: ", [&] {
        if (process)
            return; // a job is running; its end switches this notice on again
        Timer2->stop();
        if (processOk) {
            addOkMessage(QStringLiteral(
                "Загрузка реестра успешно завершена! Подробности в журнале работы."));
            showMessageBox(this, BoxIcon::Information, QStringLiteral("Загрузка завершена"),
                QStringLiteral("Процедура загрузки реестра завершена. Подробности "
                               "смотрите в журнале работы..."));
        } else {
            addErrorMessage(QStringLiteral(
                "В процессе загрузки возникли ошибки! Подробности в журнале работы."));
            showMessageBox(this, BoxIcon::Error, QStringLiteral("Ошибка!"),
                QStringLiteral("Процедура загрузки реестра завершена с ОШИБКАМИ. "
                               "Подробности смотрите в журнале работы..."));
        }
    });
}
