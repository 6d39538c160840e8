#pragma once

// How the buffer-size entry and its unit become the bytes a run reads at a time.

#include "engine/read/buffer_size.h"

#include <QLocale>
#include <QString>
#include <QValidator>

#include <cstdint>
#include <optional>

using quelby::BufferSize;
using quelby::kLargestBufferSize;

// The entry read as a decimal number in the user's locale (or, failing that, the C locale).
std::optional<double> bufferEntryNumber(const QString& entry, const QLocale& locale);

// The entry's whole part in units of 1024 bytes (unit index below 1) or 1048576 bytes (1 or
// more). Something that is not a number, or is 0 or less, counts as one unit; more than
// kLargestBufferSize bytes is held at kLargestBufferSize.
BufferSize computeRealBufferSize(const QString& entry, int unitIndex, const QLocale& locale);

// What the settings keep for the entry: the number in its plain form, or the text as typed.
QString storedBufferEntry(const QString& entry, const QLocale& locale);

// A number below one unit (0, 0.5, -3): the field takes no such entry and the settings never
// keep one. Text that is no number is taken as typed.
bool isRefusedBufferEntry(const QString& entry, const QLocale& locale);

// Turns away an edit of the buffer-size field that would leave a refused entry in it, so the
// entry before the edit stays.
class BufferEntryValidator : public QValidator
{
public:
    using QValidator::QValidator;
    State validate(QString& input, int& position) const override;
};
