#pragma once

#include <QString>

// Words that are no term of the user's: learning never learns them from an edit, and term import never
// proposes them.
namespace DisposableTerm {

// Too short, a path or an address, a bare number or version, or an everyday word: true when the trimmed
// term must not be learned.
bool isCommonOrDisposable(const QString& term);

} // namespace DisposableTerm
