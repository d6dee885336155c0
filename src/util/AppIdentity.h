#pragma once

#include <QString>

namespace AppIdentity {
// Our own "bundle identifier": Keychain service, queue-label prefix, own-window test.
inline QString bundleIdentifier() { return QStringLiteral("org.quorbell.Quorbell"); }
// The reverse-DNS prefix of the bundle identifier, without its final component.
inline QString queueLabelPrefix() { return QStringLiteral("org.quorbell"); }
inline QString queueLabel(const QString& suffix) { return queueLabelPrefix() + QLatin1Char('.') + suffix; }
} // namespace AppIdentity
