// Certificates for https tests, made with the openssl tool in a temporary folder: a test
// CA and a leaf it signs for 127.0.0.1 and localhost.
#pragma once

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class TestCertificates
{
public:
    TestCertificates()
    {
        const auto openssl = [this](const QStringList &arguments) {
            QProcess process;
            process.setWorkingDirectory(m_dir.path());
            process.start(QStringLiteral("openssl"), arguments);
            return process.waitForFinished(30000) && process.exitCode() == 0;
        };
        QFile extensions(path("leaf.ext"));
        m_ok = extensions.open(QIODevice::WriteOnly)
            && extensions.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n") > 0;
        extensions.close();
        m_ok = m_ok
            && openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key",
                "-out", "ca.pem", "-days", "30", "-subj", "/CN=Test Office Root CA"})
            && openssl({"req", "-newkey", "rsa:2048", "-nodes", "-keyout", "leaf.key", "-out",
                "leaf.csr", "-subj", "/CN=127.0.0.1"})
            && openssl({"x509", "-req", "-in", "leaf.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-out", "leaf.pem", "-days", "30", "-extfile", "leaf.ext"});
    }

    bool isValid() const { return m_ok; }
    QString caFile() const { return path("ca.pem"); }
    QString leafFile() const { return path("leaf.pem"); }
    QString keyFile() const { return path("leaf.key"); }
    // The leaf's SHA-256, in upper-case hexadecimal without colons.
    QString leafSha256() const
    {
        QFile pem(leafFile());
        if (!pem.open(QIODevice::ReadOnly))
            return {};
        const QByteArray text = pem.readAll();
        const qsizetype begin = text.indexOf("-----BEGIN CERTIFICATE-----");
        const qsizetype end = text.indexOf("-----END CERTIFICATE-----");
        const QByteArray base64 = text.mid(begin + 27, end - begin - 27).replace('\n', "");
        return QString::fromLatin1(
            QCryptographicHash::hash(QByteArray::fromBase64(base64), QCryptographicHash::Sha256)
                .toHex()
                .toUpper());
    }

private:
    QString path(const char *name) const { return m_dir.filePath(QLatin1String(name)); }

    QTemporaryDir m_dir;
    bool m_ok = false;
};
