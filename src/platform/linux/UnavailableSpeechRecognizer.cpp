#include "platform/linux/UnavailableSpeechRecognizer.h"

bool UnavailableSpeechRecognizer::isAvailable(const QString& /*localeIdentifier*/)
{
    return false;
}

Status UnavailableSpeechRecognizer::startSession(const SpeechRecognitionRequest& /*request*/,
                                                 ResultHandler /*handler*/)
{
    return Status::failure(QStringLiteral("本机没有可用的系统语音识别"));
}

void UnavailableSpeechRecognizer::appendAudio(std::span<const float> /*samples*/) {}

void UnavailableSpeechRecognizer::endAudio() {}

void UnavailableSpeechRecognizer::cancel() {}
