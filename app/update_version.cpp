#include "app/update_version.h"

#include <QList>
#include <algorithm>

namespace {

bool isAllDigits(QStringView part)
{
    return !part.isEmpty() &&
           std::all_of(part.begin(), part.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// Any length of digits: a part too long for an integer still orders correctly.
std::strong_ordering compareNumbers(QStringView left, QStringView right)
{
    const auto significant = [](QStringView digits) {
        while (digits.size() > 1 && digits.front() == u'0') {
            digits = digits.sliced(1);
        }
        return digits;
    };
    left = significant(left);
    right = significant(right);
    if (left.size() != right.size()) {
        return left.size() <=> right.size();
    }
    return left.compare(right) <=> 0;
}

} // namespace

bool isWellFormedVersion(QStringView version)
{
    const auto allowed = [](QChar c) {
        return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') ||
               c == u'.' || c == u'+' || c == u'~' || c == u'-';
    };
    return !version.isEmpty() && version.size() <= kLongestVersion &&
           std::all_of(version.begin(), version.end(), allowed);
}

std::strong_ordering compareVersions(QStringView left, QStringView right)
{
    const auto leftParts = left.split(u'.');
    const auto rightParts = right.split(u'.');
    const auto common = std::min(leftParts.size(), rightParts.size());
    for (qsizetype index = 0; index < common; ++index) {
        const QStringView leftPart = leftParts[index];
        const QStringView rightPart = rightParts[index];
        // Well-formed versions are ASCII, so UTF-16 order is byte order.
        const std::strong_ordering order = isAllDigits(leftPart) && isAllDigits(rightPart)
                                               ? compareNumbers(leftPart, rightPart)
                                               : leftPart.compare(rightPart) <=> 0;
        if (order != 0) {
            return order;
        }
    }
    return leftParts.size() <=> rightParts.size();
}
