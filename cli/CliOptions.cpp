#include "cli/CliOptions.h"

#include "diag/Version.h"
#include "upload/UploadRun.h"

#include <QFile>
#include <QFileInfo>

#include <limits>

namespace
{

const QString tryHelp = QStringLiteral(". Справка: unmz-upload --help");

// The first line of a session file, without its line break and surrounding blanks.
QString sessionFromFile(const QString &path, QString &error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("не удалось открыть файл сессии «%1»: %2")
                    .arg(path, file.errorString());
        return {};
    }
    const QByteArray line = file.readLine(MaxSessionLine + 2);
    QByteArray text = line;
    if (text.endsWith('\n'))
        text.chop(1);
    if (text.size() > MaxSessionLine) {
        error = QStringLiteral("первая строка файла сессии «%1» длиннее %2 байт")
                    .arg(path)
                    .arg(MaxSessionLine);
        return {};
    }
    return QString::fromUtf8(text).trimmed();
}

} // namespace

CliParse parseCommandLine(
    const QStringList &arguments, const std::function<QString(const char *)> &environment)
{
    CliParse parse;
    CliOptions &options = parse.options;
    options.server = defaultServerAddress;
    bool sessionGiven = false;
    QString sessionFile;
    QStringList positional;

    const auto fail = [&](const QString &reason) {
        parse.error = reason + tryHelp;
        return parse;
    };

    bool optionsEnded = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (optionsEnded || argument == QStringLiteral("-") || !argument.startsWith(u'-')) {
            positional << argument;
            continue;
        }
        if (argument == QStringLiteral("--")) {
            optionsEnded = true;
            continue;
        }
        const qsizetype equals = argument.indexOf(u'=');
        const QString name = equals < 0 ? argument : argument.left(equals);
        const bool inlineValue = equals >= 0;
        // The option's value: after "=", or the next argument.
        QString value;
        const auto takeValue = [&]() -> bool {
            if (inlineValue) {
                value = argument.mid(equals + 1);
                return true;
            }
            if (i + 1 >= arguments.size())
                return false;
            value = arguments.at(++i);
            return true;
        };
        const auto flag = [&](bool &target, bool set) -> bool {
            if (inlineValue)
                return false;
            target = set;
            return true;
        };

        if (name == QStringLiteral("--help") || name == QStringLiteral("-h")) {
            options.action = CliOptions::Action::Help;
            return parse;
        }
        if (name == QStringLiteral("--version")) {
            options.action = CliOptions::Action::Version;
            return parse;
        }
        if (name == QStringLiteral("--server") || name == QStringLiteral("--session")
            || name == QStringLiteral("--session-file") || name == QStringLiteral("--report")) {
            if (!takeValue())
                return fail(QStringLiteral("параметру %1 нужно значение").arg(name));
            if (name == QStringLiteral("--report")) {
                if (value.isEmpty())
                    return fail(QStringLiteral("параметру %1 нужно значение").arg(name));
                options.reportPath = value;
            } else if (name == QStringLiteral("--server")) {
                options.server = value;
            } else if (name == QStringLiteral("--session")) {
                options.session = value;
                sessionGiven = true;
            } else {
                sessionFile = value;
            }
        } else if (name == QStringLiteral("--ca-file")) {
            if (!takeValue() || value.isEmpty())
                return fail(QStringLiteral("параметру %1 нужно значение").arg(name));
            if (!QFileInfo(value).isFile() || !QFileInfo(value).isReadable())
                return fail(QStringLiteral("не удалось открыть файл сертификатов «%1»").arg(value));
            options.caFile = value;
        } else if (name == QStringLiteral("--certificate")) {
            QByteArray digits = takeValue() ? value.toLatin1() : QByteArray();
            digits.replace(':', "");
            const QByteArray sha256 = QByteArray::fromHex(digits);
            // fromHex skips what is not a digit: the length and a round trip tell.
            if (digits.size() != 64 || sha256.toHex() != digits.toLower())
                return fail(QStringLiteral("параметру %1 нужен отпечаток SHA-256 сертификата: 64 "
                                           "шестнадцатеричные цифры")
                                .arg(name));
            options.certificate = sha256;
        } else if (name == QStringLiteral("--connect-timeout")
            || name == QStringLiteral("--idle-timeout")) {
            bool number = takeValue();
            const int seconds = number ? value.toInt(&number) : -1;
            if (!number || seconds < 0 || seconds > std::numeric_limits<int>::max() / 1000)
                return fail(QStringLiteral("параметру %1 нужно число секунд").arg(name));
            (name == QStringLiteral("--connect-timeout") ? options.connectTimeoutSeconds
                                                         : options.idleTimeoutSeconds)
                = seconds;
        } else if (name == QStringLiteral("--color")) {
            value = inlineValue ? argument.mid(equals + 1) : QStringLiteral("always");
            if (value == QStringLiteral("auto"))
                options.colour = CliOptions::Colour::Auto;
            else if (value == QStringLiteral("always"))
                options.colour = CliOptions::Colour::Always;
            else if (value == QStringLiteral("never"))
                options.colour = CliOptions::Colour::Never;
            else
                return fail(
                    QStringLiteral("недопустимое значение «%1» параметра --color (auto, always, "
                                   "never)")
                        .arg(value));
        } else if (name == QStringLiteral("--check")) {
            bool check = false;
            if (!flag(check, true))
                return fail(QStringLiteral("параметр %1 не принимает значения").arg(name));
            options.action = CliOptions::Action::Check;
        } else if (name == QStringLiteral("--no-auth")) {
            if (!flag(options.auth, false))
                return fail(QStringLiteral("параметр %1 не принимает значения").arg(name));
        } else if (name == QStringLiteral("--no-map-objects")) {
            if (!flag(options.drawTiles, false))
                return fail(QStringLiteral("параметр %1 не принимает значения").arg(name));
        } else if (name == QStringLiteral("--quiet") || name == QStringLiteral("-q")) {
            if (!flag(options.quiet, true))
                return fail(QStringLiteral("параметр %1 не принимает значения").arg(name));
        } else {
            // Named without its value: a mistyped --session=... must not echo the secret.
            return fail(QStringLiteral("неизвестный параметр «%1»").arg(name));
        }
    }

    if (positional.isEmpty())
        return fail(QStringLiteral("не указан файл реестра"));
    if (positional.size() > 1)
        return fail(QStringLiteral("лишний аргумент «%1»: файл реестра указывается один")
                        .arg(positional.at(1)));
    options.registerPath = positional.first();

    if (sessionGiven && !sessionFile.isNull())
        return fail(QStringLiteral("параметры --session и --session-file взаимоисключающие"));
    if (!sessionFile.isNull()) {
        QString error;
        options.session = sessionFromFile(sessionFile, error);
        if (!error.isEmpty())
            return fail(error);
    } else if (!sessionGiven) {
        options.session = environment("UNMZ_SESSION");
    }
    return parse;
}

QString versionText()
{
    return QStringLiteral("unmz-upload ") + QLatin1String(programVersion);
}

QString helpText()
{
    return QStringLiteral(
        "Использование: unmz-upload [ПАРАМЕТРЫ] РЕЕСТР\n"
        "Usage: unmz-upload [OPTIONS] REGISTER\n"
        "\n"
        "Загружает на сервер реестр УНМЗ (книгу Excel) и все документы PDF из его папки\n"
        "и вложенных папок, как команда «Загрузить реестр» окна программы, и выводит\n"
        "журнал работы.\n"
        "Uploads the register workbook and every PDF below its folder, as the window's\n"
        "upload command does, and prints the journal.\n"
        "\n"
        "Параметры / Options:\n"
        "  --server URL         адрес сервера (по умолчанию http://127.0.0.1:8080)\n"
        "                       the service's base address (default http://127.0.0.1:8080)\n"
        "  --session SID        сессия пользователя на сервере (параметр sid окна)\n"
        "                       the user's web session id (the window's sid)\n"
        "  --session-file FILE  взять сессию из первой строки файла; без обоих параметров\n"
        "                       сессия берётся из переменной окружения UNMZ_SESSION\n"
        "                       read it from the file's first line; without either option\n"
        "                       it comes from UNMZ_SESSION\n"
        "  --no-auth            не проходить авторизацию (параметр окна auth=false)\n"
        "                       skip the session authorisation (the window's auth=false)\n"
        "  --no-map-objects     НЕ отрисовывать объекты на карте\n"
        "                       do not draw the register's objects on the map\n"
        "  --check              только проверить файлы перед загрузкой, без обращения к\n"
        "                       серверу: вывести число документов, общий размер и каждую\n"
        "                       найденную проблему с советом; код 0 - проблем нет, 1 - есть\n"
        "                       check the files only, without a single request: print the\n"
        "                       counts, the total size and each problem with advice;\n"
        "                       status 0 without problems, 1 with problems\n"
        "  --report FILE        куда сохранить отчёт о загрузке (CSV); по умолчанию рядом\n"
        "                       с реестром: «<реестр> отчёт ГГГГ-ММ-ДД ЧЧ-ММ-СС.csv»\n"
        "                       where to write the run's report (CSV); by default beside\n"
        "                       REGISTER, named after it and the run's start\n"
        "                       (существующий файл - только отчёт .csv, не сам реестр)\n"
        "                       (an existing FILE must be a .csv report, not REGISTER)\n"
        "  --ca-file FILE       сертификаты (PEM), которым доверять наряду с системными,\n"
        "                       например корневой сертификат организации\n"
        "                       PEM certificates trusted besides the system's\n"
        "  --certificate SHA256 доверять сертификату сервера с этим отпечатком SHA-256\n"
        "                       (64 шестнадцатеричные цифры, двоеточия можно), какими бы\n"
        "                       ни были его имя и сроки; без него неподтверждённый\n"
        "                       сертификат завершает работу с кодом 2, ничего не передав\n"
        "                       trust the server certificate with this SHA-256 whatever\n"
        "                       its name and dates; without it an untrusted certificate\n"
        "                       ends the run with status 2, nothing sent\n"
        "  --connect-timeout SEC  сколько секунд ждать соединения с сервером, поиск адреса\n"
        "                       включая (по умолчанию 30; 0 - без предела); по истечении:\n"
        "                       «Socket Error # 10060 Connection timed out.»\n"
        "                       seconds to wait for the connection, the lookup included\n"
        "                       (default 30; 0: no limit); then fails with the above\n"
        "  --idle-timeout SEC   запрос, по которому SEC секунд не передано и не получено ни\n"
        "                       байта, завершается ошибкой «Read timed out.» (по умолчанию\n"
        "                       900; 0 - ждать без предела, как окно); новые строки хода\n"
        "                       обработки продлевают ожидание\n"
        "                       a post that neither sends nor receives a byte for SEC\n"
        "                       seconds fails with \"Read timed out.\" (default 900; 0:\n"
        "                       wait for ever, as the window does); new progress lines\n"
        "                       from the service restart the clock\n"
        "  --color[=КОГДА]      цвета строк журнала: auto (на терминале, если не задана\n"
        "                       переменная NO_COLOR), always или never\n"
        "                       colour the journal: auto (on a terminal, unless NO_COLOR\n"
        "                       is set), always or never\n"
        "  -q, --quiet          выводить только строки ошибок и итоговую строку\n"
        "                       print only the error lines and the final line\n"
        "  -h, --help           эта справка\n"
        "                       this help\n"
        "  --version            версия программы\n"
        "                       the program's version\n"
        "\n"
        "Журнал выводится в стандартный вывод; строка состояния (на терминале), сообщение\n"
        "о прерывании и ошибки в параметрах - в стандартный поток ошибок.\n"
        "\n"
        "Коды завершения / Exit status:\n"
        "  0    загрузка завершена без ошибок (--check: проблем не найдено)\n"
        "       the upload finished without errors (--check: no problems)\n"
        "  1    загрузка завершена с ошибками, но сервер принял реестр или хотя бы один\n"
        "       документ (--check: найдены проблемы)\n"
        "       the upload finished with errors, and the service accepted the workbook\n"
        "       or at least one document (--check: problems found)\n"
        "  2    сервер ничего не принял: ни реестр, ни один документ (авторизация не\n"
        "       пройдена, нет связи с сервером, файл реестра не найден, открыт другой\n"
        "       программой или не является книгой Excel...)\n"
        "       the service accepted nothing, neither the workbook nor any document (the\n"
        "       authorisation failed, no connection, REGISTER missing, held open or not\n"
        "       a workbook...)\n"
        "  64   ошибка в параметрах: неизвестный параметр или не указан РЕЕСТР\n"
        "       usage error: an unknown option, or no REGISTER\n"
        "  130  прервано нажатием Ctrl+C (SIGINT)\n"
        "       interrupted (SIGINT)\n"
        "  143  прервано сигналом SIGTERM\n"
        "       terminated (SIGTERM)\n");
}

QString reportPathProblem(const QString &reportPath, const QString &workbookPath)
{
    const QFileInfo report(reportPath);
    if (!report.exists() && !report.isSymLink())
        return {};
    const bool csvFile = report.isFile()
        && report.fileName().endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive);
    const QString real = report.canonicalFilePath();
    if (csvFile && (real.isEmpty() || real != QFileInfo(workbookPath).canonicalFilePath()))
        return {};
    return QStringLiteral("--report: «%1» не является файлом отчёта CSV").arg(reportPath);
}

QString undecodablePathText(const QString &shownPath)
{
    return QStringLiteral("в пути к реестру есть имя не в кодировке UTF-8 (нечитаемые байты "
                          "показаны знаком \uFFFD), такой файл открыть нельзя: %1. Переименуйте "
                          "файл или папку и повторите.")
        .arg(shownPath);
}
