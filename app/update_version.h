// The Version strings of the update list: which ones the app accepts, and
// which of two is the higher. A Version is 1 to 32 characters from
// 0-9 A-Z a-z . + ~ -; it reads as dot-separated parts, compared as numbers
// where both parts are all digits and byte-wise otherwise.
#pragma once

#include <QStringView>
#include <compare>

inline constexpr qsizetype kLongestVersion = 32;

bool isWellFormedVersion(QStringView version);

// Orders two well-formed versions; "1.10" is above "1.9", "1.1.0" above "1.1".
std::strong_ordering compareVersions(QStringView left, QStringView right);
