#include "net/UploadService.h"

#include "net/FormPostClient.h"

namespace UploadService
{

namespace
{

std::unique_ptr<MultipartForm> actionForm(const QString &action)
{
    auto form = std::make_unique<MultipartForm>();
    form->addTextField(QStringLiteral("action"), action);
    return form;
}

void addUtf8Field(MultipartForm &form, const QString &name, const QString &value)
{
    form.setTransferEncoding(
        form.addTextField(name, value, QStringLiteral("utf-8")), QStringLiteral("8bit"));
}

// The last component of a local path: the service wants the bare file name.
QString lastComponent(const QString &path)
{
    return path.mid(path.lastIndexOf(u'/') + 1);
}

} // namespace

QString endpoint(const QString &baseAddress)
{
    return baseAddress + QStringLiteral("/QuorvelFiles");
}

bool isSuccess(const QString &reply)
{
    return reply == successReply;
}

QStringList progressItems(const QString &reply)
{
    QStringList items;
    if (reply.isEmpty())
        return items;
    items = reply.split(u';');
    if (items.last().isEmpty())
        items.removeLast();
    return items;
}

std::unique_ptr<MultipartForm> authForm(const QString &webSessionId)
{
    auto form = actionForm(QStringLiteral("auth"));
    form->addTextField(QStringLiteral("sid"), webSessionId);
    return form;
}

std::unique_ptr<MultipartForm> sessionForm()
{
    return actionForm(QStringLiteral("getSession"));
}

std::unique_ptr<MultipartForm> workbookForm(const QString &path)
{
    auto form = actionForm(QStringLiteral("loadFile"));
    form->addTextField(QStringLiteral("folder"), QString());
    addUtf8Field(*form, QStringLiteral("fileName"), lastComponent(path));
    form->addTextField(QStringLiteral("isRegistry"), QStringLiteral("true"));
    form->addFile(QStringLiteral("data"), path, workbookContentType);
    return form;
}

std::unique_ptr<MultipartForm> processRegistryForm(bool drawTiles)
{
    auto form = actionForm(QStringLiteral("processRegistry"));
    form->addTextField(
        QStringLiteral("drawTiles"), drawTiles ? QStringLiteral("1") : QStringLiteral("0"));
    return form;
}

std::unique_ptr<MultipartForm> documentForm(
    const QString &folderValue, const QString &fileName, const QString &path)
{
    auto form = actionForm(QStringLiteral("loadFile"));
    addUtf8Field(*form, QStringLiteral("folder"), folderValue);
    addUtf8Field(*form, QStringLiteral("fileName"), fileName);
    form->addFile(QStringLiteral("data"), path, documentContentType);
    return form;
}

std::unique_ptr<MultipartForm> processFilesForm()
{
    return actionForm(QStringLiteral("processFiles"));
}

std::unique_ptr<MultipartForm> progressForm(const QString &sessionId)
{
    auto form = actionForm(QStringLiteral("progress"));
    form->addTextField(QStringLiteral("sid"), sessionId);
    return form;
}

QString send(FormPostClient &client, const QString &baseAddress, const MultipartForm &form)
{
    return client.post(endpoint(baseAddress), form);
}

} // namespace UploadService
