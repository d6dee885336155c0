#include "llm/LLMErrors.h"

#include "net/NetworkText.h"

namespace LLMErrors {

AppError urlError(URLCode code, const QString& detail)
{
    QString description;
    switch (code) {
    case cancelled:
        description = QStringLiteral("请求已取消");
        break;
    case badURL:
        description = QStringLiteral("接口地址无效，请检查 Base URL");
        break;
    case timedOut:
        description = QStringLiteral("请求超时，请检查网络或稍后重试");
        break;
    case badServerResponse:
        description = QStringLiteral("服务器返回了异常响应");
        break;
    case cannotParseResponse:
        description = QStringLiteral("无法解析服务器返回的内容");
        break;
    case dataLengthExceedsMaximum:
        description = QStringLiteral("服务器返回的数据超过上限");
        break;
    }
    if (!detail.isEmpty())
        description += QStringLiteral("（") + detail + QStringLiteral("）");
    return {kURLDomain, code, description};
}

AppError network(QNetworkReply::NetworkError code, const QString& qtDescription)
{
    return {kNetworkDomain, static_cast<int>(code), NetworkText::failure(code, qtDescription)};
}

AppError jsonError(int code, const QString& parserDescription)
{
    return {kJSONDomain, code,
            QStringLiteral("服务器返回的内容不是有效的 JSON（") + parserDescription + QStringLiteral("）")};
}

AppError chatCompletionsStatus(int status, const QString& model)
{
    return {kDomain, status,
            QStringLiteral("接口返回 HTTP ") + QString::number(status) +
                QStringLiteral("（请核对当前服务商 API Key 与模型 ID ") + model +
                QStringLiteral(" 是否匹配）")};
}

AppError anthropicStatus(int status, const QString& model)
{
    return {kDomain, status,
            QStringLiteral("Anthropic 接口返回 HTTP ") + QString::number(status) +
                QStringLiteral("（请核对 Claude API Key 与模型 ID ") + model + QStringLiteral("）")};
}

AppError benchmarkMissingKey()
{
    return {kDomain, 401,
            QStringLiteral("当前勾选模型尚未填入 API Key，请先在当前卡片粘贴密钥并点击「保存」")};
}

AppError distillMissingKey()
{
    return {kDomain, 401, QStringLiteral("请先在设置页填入大模型 API Key")};
}

AppError unusableKey()
{
    return {kDomain, 401, QStringLiteral("API Key 含有换行或控制字符，请重新粘贴密钥并点击「保存」")};
}

AppError noModelOutput(const QString& whatCameBack)
{
    return {kDomain, -1, QStringLiteral("模型没有输出任何文字，") + whatCameBack};
}

AppError emptyRewrite()
{
    return {kDomain, -1, QStringLiteral("模型没有返回改写结果，已保留原选中文本")};
}

} // namespace LLMErrors
