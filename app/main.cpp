#include "app/main.h"

#include "app/JournalLayout.h"
#include "app/MessageBoxes.h"
#include "app/RtfWriter.h"
#include "app/RunStatusBar.h"
#include "app/SetCheckDialog.h"
#include "app/uLaunchParams.h"
#include "diag/Exception.h"
#include "diag/uLogWriter.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextEdit>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

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

QFont baseFont()
{
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(fontPixelSize);
    return font;
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

std::function<std::unique_ptr<DesktopBus>()> &desktopBusFactory()
{
    static std::function<std::unique_ptr<DesktopBus>()> factory;
    return factory;
}

} // namespace

TForm1::TForm1(QWidget *parent)
    : QMainWindow(parent)
    , m_command(std::make_unique<UploadCommand>(*this, static_cast<UploadFace &>(*this)))
    , m_run(&m_command->run())
    , http(m_run->http)
    , timerHttp(m_run->timerHttp)
    , processOk(m_run->processOk)
    , process(m_run->process)
    , sessionId(m_run->sessionId)
    , m_desktop(std::make_unique<DesktopServices>(
          desktopBusFactory() ? desktopBusFactory()() : systemDesktopBus()))
{
    buildControls();
    FormCreate();
}

TForm1::~TForm1()
{
    // The run goes with the window's members: abandoned first, it ends a running job and
    // waits for its thread and the posts in flight, none of which touches the window.
    prepareForExit();
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
    buildServiceMenu();

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
    // The toolkit's own rules, but linear in a paragraph's length (see JournalLayout).
    JournalLayout::install(reMessages->document());
    // The selection shows only while the view has the focus. Empty brushes, not colours:
    // a colour would repaint the selected (newest) line in it and hide its own colour.
    QPalette palette = reMessages->palette();
    palette.setBrush(QPalette::Inactive, QPalette::Highlight, QBrush(Qt::NoBrush));
    palette.setBrush(QPalette::Inactive, QPalette::HighlightedText, QBrush(Qt::NoBrush));
    reMessages->setPalette(palette);
    connect(reMessages, &QTextEdit::textChanged, this, &TForm1::reMessagesChange);
    m_journalView = std::make_unique<JournalViewWriter>(*reMessages);
    column->addWidget(reMessages, 1);
    buildStatusBar(column);

    setTabOrder(Button1, edtDrawTiles);
    setTabOrder(edtDrawTiles, edtServer);
    setTabOrder(edtServer, reMessages);

    Timer1 = m_run->pollTimer; // its tick reaches getLogFromServer's step through the command
    Timer2 = m_run->completionTimer;
    connect(Timer2, &QTimer::timeout, this, &TForm1::Timer2Timer);
    // What the run needs of the window, kept current; the job switches the button.
    m_run->setServerAddress(edtServer->text());
    connect(edtServer, &QLineEdit::textChanged, m_run, &UploadRun::setServerAddress);
    connect(edtDrawTiles, &QCheckBox::toggled, m_run, &UploadRun::setDrawTilesSuppressed);
    connect(m_run, &UploadRun::uploadButtonEnabled, Button1, &QWidget::setEnabled);

    resize(clientWidth, clientHeight + menuBar()->sizeHint().height());
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

void TForm1::FormCreate()
{
    guarded("TForm1.FormCreate: ", [&] {
        m_run->createClients();
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
    if (m_closing.exchange(true))
        return;
    // A job cut short still leaves its report, with what is known at this moment.
    m_run->writeInterruptedReport(QStringLiteral("Загрузка прервана: окно программы закрыто"));
    m_run->abandon();
    sbStatus->showIdle();
    m_desktop->releaseSleepLock();
}

QFileDialog *TForm1::openDialog()
{
    if (!od) {
        od = new QFileDialog(this, QStringLiteral("Выберите файл реестра УНМЗ"));
        od->setAcceptMode(QFileDialog::AcceptOpen);
        // A typed name of a missing file is accepted: the job reports it as inaccessible.
        od->setFileMode(QFileDialog::AnyFile);
        od->setNameFilters(
            {QStringLiteral("Документ Excel (*.xls *.xlsx)"), QStringLiteral("Все файлы (*.*)")});
    }
    return od;
}

QFileDialog *TForm1::saveDialog()
{
    if (!sd) {
        sd = new QFileDialog(this, QStringLiteral("Сохранить результаты загрузки УНМЗ"));
        sd->setAcceptMode(QFileDialog::AcceptSave);
        sd->setFileMode(QFileDialog::AnyFile);
        sd->setNameFilter(QStringLiteral("Текстовые документы (*.rtf)"));
        sd->selectFile(QStringLiteral("Результаты загрузки реестра УНМЗ"));
        sd->setDefaultSuffix(QStringLiteral("rtf"));
        sd->setOption(QFileDialog::DontConfirmOverwrite);
    }
    return sd;
}

QString TForm1::chooseRegister()
{
    QFileDialog *od = openDialog();
    if (od->exec() != QDialog::Accepted)
        return {};
    const QStringList chosen = od->selectedFiles();
    return chosen.isEmpty() ? QString() : chosen.first();
}

void TForm1::Button1Click()
{
    guarded("TForm1.Button1Click: ", [&] {
        if (m_run->jobActive())
            return; // the button is off while a job runs: never two jobs at once
        resetJournal();
        const QString registerPath = chooseRegister();
        if (isClosing())
            return;
        if (registerPath.isEmpty()) {
            addErrorMessage(QStringLiteral("Не выбран файл реестра. Загрузка файлов не выполнена"));
            return;
        }
        const UploadOrder order{edtServer->text(), registerPath,
            getParamValue(QStringLiteral("auth")) != QStringLiteral("false"),
            getParamValue(QStringLiteral("sid")), getParamValue(QStringLiteral("adr"))};
        if (m_command->start(order) == UploadCommand::Start::NoClients)
            throw Exception(
                QStringLiteral("The job client and the poll client were not created at start-up."));
    });
}

void TForm1::workbookAccepted()
{
    // The second clear resets the counters too: a completion line that arrived while
    // the dialog was open must not shift the numbers and colours of the lines to come.
    resetJournal();
}

void TForm1::authorisationStarted()
{
    sbStatus->showAuthorisation();
}

void TForm1::authorisationFailed(const QString &address, const FailureCause &failure)
{
    sbStatus->showIdle();
    if (!failure.transportCause.isEmpty()) {
        showMessageBox(this, BoxIcon::Error, QStringLiteral("Нет связи с сервером"),
            QStringLiteral("Не удалось подключиться к серверу %1: %2.\nПроверьте адрес сервера и "
                           "подключение к сети.\nЖурнал ошибок: %3")
                .arg(address, failure.transportCause, logFilePath()));
        return;
    }
    showMessageBox(this, BoxIcon::Error, QStringLiteral("Ошибка авторизации"),
        QStringLiteral("Программе не удалось авторизоваться на сервере для загрузки "
                       "реестра УНМЗ! \r\nВероятно пользователь скачавший приложение "
                       "завершил работу на сервере или его сессия завершилась. \r\n"
                       "Пожалуйста, попробуйте скачать приложение и загрузить реестр "
                       "заново. \r\nЕсли ошибка повторится - обратитесь к разработчику "
                       "приложения."));
}

bool TForm1::trustCertificate(const TlsError &failure)
{
    sbStatus->showIdle();
    const bool trusted = askMessageBox(this, QStringLiteral("Сертификат сервера не подтверждён"),
        certificateQuestionText(failure), QStringLiteral("Доверять в этом сеансе"));
    if (trusted && !isClosing())
        sbStatus->showAuthorisation();
    return trusted;
}

QString certificateQuestionText(const TlsError &failure)
{
    const TlsError::Certificate &certificate = failure.certificate();
    const QLocale locale;
    const auto day = [&locale](const QDateTime &time) {
        return locale.toString(time.toLocalTime().date(), QLocale::ShortFormat);
    };
    QString reason = transportCause(failure);
    if (!reason.isEmpty())
        reason[0] = reason[0].toUpper(); // it begins the box's text here
    return QStringLiteral("%1.\n\nИздатель: %2\nВладелец: %3\nДействителен: с %4 по %5\n"
                          "Отпечаток SHA-256: %6")
        .arg(reason, certificate.issuer, certificate.subject, day(certificate.notBefore),
            day(certificate.notAfter), fingerprintText(certificate.sha256));
}

bool TForm1::auth()
{
    return m_command->authorise(edtServer->text(), getParamValue(QStringLiteral("sid")),
        getParamValue(QStringLiteral("adr")));
}

// ---- journal ----

void TForm1::setJournalStampForTesting(std::function<std::pair<QString, QString>()> stamp)
{
    ::setJournalStampForTesting(std::move(stamp));
}

bool TForm1::onUiThread() const
{
    return QThread::currentThread() == thread();
}

void TForm1::queueOnUi(std::function<void()> append)
{
    if (isClosing())
        return;
    QMetaObject::invokeMethod(
        this,
        [this, append = std::move(append)] {
            if (!isClosing())
                append();
        },
        Qt::QueuedConnection);
}

bool TForm1::appendPlain(const QString &s, JournalKind kind)
{
    ++num; // a failed append still uses up its number
    return guarded("TForm1.addMessage: ", [&] {
        const auto [date, time] = journalStamp();
        const QString line = journalViewText(journalLineText(num, date, time, s));
        // Written in the kind's colour and bold at once: the same as colouring and
        // emboldening the selected new line afterwards, with one layout instead of three.
        const JournalViewWriter::Selection selection = m_journalView->append(line, kind, shift);
        shift = nextLineStart(selection.start, selection.length);
    });
}

void TForm1::addColouredLine(const char *place, JournalKind kind, const QString &s)
{
    // Without a new line nothing is coloured: the selection is still the line before.
    guarded(place, [&] { appendPlain(s, kind); });
}

void TForm1::addMessage(const QString &s)
{
    if (!onUiThread())
        return queueOnUi([this, s] { addMessage(s); });
    appendPlain(s);
}

void TForm1::addOkMessage(const QString &s)
{
    if (!onUiThread())
        return queueOnUi([this, s] { addOkMessage(s); });
    addColouredLine("TForm1.addOkMessage: ", JournalKind::Ok, s);
}

void TForm1::addWarningMessage(const QString &s)
{
    if (!onUiThread())
        return queueOnUi([this, s] { addWarningMessage(s); });
    addColouredLine("TForm1.addWarningMessage: ", JournalKind::Warning, s);
}

void TForm1::addErrorMessage(const QString &s)
{
    if (!onUiThread())
        return queueOnUi([this, s] { addErrorMessage(s); });
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

void TForm1::beginBatch()
{
    if (onUiThread())
        m_journalView->beginBatch();
}

void TForm1::endBatch()
{
    if (onUiThread())
        guarded("TForm1.addMessage: ", [&] { m_journalView->endBatch(); });
}

void TForm1::resetJournal()
{
    shift = 0;
    num = 0;
    reMessages->clear();
    m_journalView->reset();
}

void TForm1::reMessagesChange()
{
    QScrollBar *bar = reMessages->verticalScrollBar();
    bar->setValue(bar->maximum());
}

void TForm1::N3Click()
{
    guarded("TForm1.N3Click: ", [&] {
        QFileDialog *sd = saveDialog();
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

// ---- progress relay and completion notice ----

void TForm1::Timer1Timer()
{
    guarded("TForm1.Timer1Timer: ", [&] { Button3Click(); });
}

void TForm1::Button3Click()
{
    guarded("TForm1.Button3Click: ", [&] { getLogFromServer(); });
}

void TForm1::getLogFromServer()
{
    m_command->pollTick();
}

void TForm1::Timer2Timer()
{
    guarded("TForm1.Timer2Timer: ", [&] {
        const std::optional<bool> ok = m_command->completionNotice();
        if (!ok)
            return;
        const QString title
            = *ok ? QStringLiteral("Загрузка завершена") : QStringLiteral("Ошибка!");
        const QString text = *ok
            ? QStringLiteral("Процедура загрузки реестра завершена. Подробности "
                             "смотрите в журнале работы...")
            : QStringLiteral("Процедура загрузки реестра завершена с ОШИБКАМИ. "
                             "Подробности смотрите в журнале работы...");
        announceRunEnded(title, text);
        const UploadOutcome &outcome = m_command->lastOutcome();
        showMessageBox(this, *ok ? BoxIcon::Information : BoxIcon::Error, title, text,
            completionDetailsText(outcome.failedDocuments, outcome.reportPath, outcome.failure));
    });
}

QString completionDetailsText(
    const QList<DocumentOutcome> &failed, const QString &reportPath, const FailureCause &failure)
{
    QStringList lines;
    if (!failed.isEmpty()) {
        lines << QStringLiteral("Не загружены документы:");
        for (const DocumentOutcome &document : failed)
            lines << QStringLiteral("%1 — %2").arg(document.relativePath, document.reason);
    }
    if (!failure.isEmpty()) {
        if (!lines.isEmpty())
            lines << QString();
        lines << QStringLiteral("Причина: %1").arg(failureSentence(failure));
        lines << QStringLiteral("Журнал ошибок: %1").arg(logFilePath());
    }
    if (!reportPath.isEmpty()) {
        if (!lines.isEmpty())
            lines << QString();
        lines << QStringLiteral("Отчёт о загрузке: %1").arg(reportPath);
    }
    return lines.join(u'\n');
}

// ---- status bar, desktop and the set check ----

void TForm1::setDesktopBusFactoryForTesting(std::function<std::unique_ptr<DesktopBus>()> factory)
{
    desktopBusFactory() = std::move(factory);
}

void TForm1::buildStatusBar(QVBoxLayout *column)
{
    // Inside the client area: the journal gives up the bar's height, the window keeps its size.
    sbStatus = new RunStatusBar(
        [run = m_run] {
            return std::pair{run->jobProgressSoFar(), run->documentBytesSentSoFar()};
        },
        centralWidget());
    column->addWidget(sbStatus);
    connect(m_command.get(), &UploadCommand::ended, this, &TForm1::jobEndedSteps);
}

void TForm1::jobStarted()
{
    // A long upload must not be cut short by the machine going to sleep.
    m_desktop->holdSleepLock();
    sbStatus->jobStarted();
}

void TForm1::jobEndedSteps()
{
    m_desktop->releaseSleepLock();
    if (!isClosing())
        sbStatus->jobEnded();
}

void TForm1::announceRunEnded(const QString &title, const QString &text)
{
    // The user who looks elsewhere during a long upload learns that it is over.
    if (isActiveWindow())
        return;
    QApplication::alert(this);
    m_desktop->notifyRunEnded(title, text);
}

void TForm1::buildServiceMenu()
{
    N4 = menuBar()->addMenu(QStringLiteral("Сервис"));
    N5 = N4->addAction(QStringLiteral("Проверить комплект..."));
    connect(N5, &QAction::triggered, this, &TForm1::N5Click);
    m_setCheck = new SetCheckRunner(this);
}

bool TForm1::setCheckRunning() const
{
    return m_setCheck->running();
}

void TForm1::N5Click()
{
    guarded("TForm1.N5Click: ", [&] {
        if (m_setCheck->running())
            return;
        const QString registerPath = chooseRegister();
        if (isClosing() || registerPath.isEmpty())
            return;
        if (!isWorkbookPath(registerPath)) {
            showMessageBox(this, BoxIcon::Warning, QStringLiteral("Проверка комплекта"),
                QStringLiteral("Файл реестра должен быть документом Excel!"));
            return;
        }
        N5->setEnabled(false);
        const bool started = m_setCheck->start(
            registerPath, [this](const QString &path, const SetCheckResult &result) {
                N5->setEnabled(true);
                showSetCheck(path, result);
            });
        if (!started) {
            N5->setEnabled(true); // the user may try again once the system allows a thread
            throw Exception(QStringLiteral("The set check's thread could not be started."));
        }
    });
}

void TForm1::showSetCheck(const QString &workbookPath, const SetCheckResult &result)
{
    auto *dialog
        = new SetCheckDialog(workbookPath, result, double(m_run->lastRunBytesPerSecond()), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->open();
}
