#include "net/NetErrors.h"

#include <QTest>

#include <cerrno>
#include <memory>

Q_DECLARE_METATYPE(std::shared_ptr<std::exception>)

class TestNetErrors : public QObject
{
    Q_OBJECT

private slots:
    void transportCauses_data()
    {
        QTest::addColumn<std::shared_ptr<std::exception>>("failure");
        QTest::addColumn<QString>("cause");
        using Failure = std::shared_ptr<std::exception>;
        const auto socket = [](int code) { return Failure(std::make_shared<SocketError>(code)); };
        const auto transport
            = [](const char *text) { return Failure(std::make_shared<TransportError>(text)); };
        QTest::newRow("refused") << socket(10061) << "соединение отклонено";
        QTest::newRow("host not found") << socket(11001) << "сервер с таким именем не найден";
        QTest::newRow("timed out") << socket(10060) << "сервер не ответил вовремя";
        QTest::newRow("no route") << socket(10065) << "сервер недоступен";
        QTest::newRow("network unreachable") << socket(10051) << "сервер недоступен";
        QTest::newRow("reset") << socket(10054) << "соединение разорвано";
        QTest::newRow("aborted") << socket(10053) << "соединение разорвано";
        QTest::newRow("another socket error: its own words, one line")
            << socket(10064) << "Socket Error # 10064 Host is down";
        QTest::newRow("no scheme") << transport("Unknown Protocol") << "в адресе нет http://";
        QTest::newRow("closed") << transport("Connection Closed Gracefully.")
                                << "сервер закрыл соединение";
        QTest::newRow("a reply that is no HTTP")
            << transport("Max line length exceeded.") << "Max line length exceeded";
        QTest::newRow("the service's HTTP status is no transport failure")
            << Failure(std::make_shared<ProtocolError>("HTTP/1.0 500 Oops", 500, QString())) << "";
        QTest::newRow("a local file is none")
            << Failure(std::make_shared<FileReadError>("/f", EIO)) << "";
        QTest::newRow("a refused thread is none")
            << Failure(std::make_shared<Exception>("no thread")) << "";
    }

    void transportCauses()
    {
        QFETCH(std::shared_ptr<std::exception>, failure);
        QTEST(transportCause(*failure), "cause");
    }
};

QTEST_APPLESS_MAIN(TestNetErrors)
#include "tst_neterrors.moc"
