// The upload service's requests: one multipart form each, "action" first, posted to
// "%s/QuorvelFiles" filled with the base address verbatim. Every reply is plain text;
// "success" (exactly) is the one success reply.
#pragma once

#include "net/MultipartForm.h"

#include <QString>
#include <QStringList>

#include <memory>

class FormPostClient;

namespace UploadService
{

inline const QString successReply = QStringLiteral("success");
inline const QString workbookContentType
    = QStringLiteral("application/vnd.openxmlformats-officedocument.spreadsheetml.sheet");
inline const QString documentContentType = QStringLiteral("application/pdf");

QString endpoint(const QString &baseAddress);
bool isSuccess(const QString &reply);
// Progress items: cut at every ";"; a leading or doubled ";" gives an empty item, a
// trailing one none; an empty reply holds no items.
QStringList progressItems(const QString &reply);

// The forms, fields in the service's order. Forms with a file throw (Exception
// "Cannot open file ...") when the file can't be opened for reading.
std::unique_ptr<MultipartForm> authForm(const QString &webSessionId);
std::unique_ptr<MultipartForm> sessionForm();
std::unique_ptr<MultipartForm> workbookForm(const QString &path);
std::unique_ptr<MultipartForm> processRegistryForm(bool drawTiles);
std::unique_ptr<MultipartForm> documentForm(
    const QString &folderValue, const QString &fileName, const QString &path);
std::unique_ptr<MultipartForm> processFilesForm();
std::unique_ptr<MultipartForm> progressForm(const QString &sessionId);

// Posts the form to the endpoint of `baseAddress`; the reply text, or the client's failure.
QString send(FormPostClient &client, const QString &baseAddress, const MultipartForm &form);

} // namespace UploadService
