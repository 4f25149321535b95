// Translation of policy masks into the syntax of the linear-time matching engine (RE2).
//
// Masks are written in the wildcard and regular-expression syntax of QRegExp: leftmost-longest
// matching, "." matching any character (line ends included), Unicode-aware \d, \s and \w,
// \xhhhh and \0ooo character codes, and any other escaped character standing for itself. The
// translation keeps that meaning; a mask it cannot carry over exactly yields no translation and
// is left to the backtracking engine.
#pragma once

#include <QRegExp>
#include <QString>

#include <optional>
#include <string>

namespace alg {

// The RE2 pattern with the meaning `mask` has under `syntax` (Wildcard or RegExp), for RE2
// options UTF-8, dot_nl and longest_match; nullopt for back references, lookahead, word
// boundaries, characters outside the Basic Multilingual Plane, repetition counts above 1000
// and anything malformed (a mask QRegExp accepts is never reported malformed by QRegExp's
// own check, which runs first).
std::optional<std::string> MaskToLinearPattern(const QString& mask, QRegExp::PatternSyntax syntax);

}  // namespace alg
