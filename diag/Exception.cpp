#include "diag/Exception.h"

#include <utility>

Exception::Exception(QString message)
    : m_message(std::move(message))
    , m_what(m_message.toUtf8())
{
}

EInOutError::EInOutError(QString message, int errorCode)
    : Exception(std::move(message))
    , m_errorCode(errorCode)
{
}

QString failureMessage(const std::exception &failure)
{
    if (auto *ours = dynamic_cast<const Exception *>(&failure))
        return ours->message();
    return QString::fromUtf8(failure.what());
}
