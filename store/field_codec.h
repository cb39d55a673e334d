// Field values in and out of raw records, by the rules the windows rely on.
#pragma once

#include <optional>
#include <string>

#include "store/dbf_table.h"
#include "store/xbase_expression.h"

namespace tv {

// Writes a value into its field of a raw record. Texts are blank-padded or
// cut to the width; dates become "yyyymmdd"; logicals "T" or "F"; numbers
// are right-aligned with the field's decimals, fewer decimals when the value
// needs the room. Throws XbaseError(xbBadField) for a value of another type
// or a number whose integer part does not fit.
void WriteField(const DbfField& field, char* record, const XValue& value);

// Reads a field as text the way it is stored, trailing blanks removed
// (dates "yyyymmdd", logicals "T"/"F"); empty for a blank field.
std::string StoredText(const DbfField& field, const char* record);

// Parses text typed for a field ("yyyymmdd" or yyyy-mm-dd for dates, T/F/Y/N
// for logicals, a number for N); nullopt when it does not fit the field.
std::optional<XValue> ParseFieldText(const DbfField& field, const std::string& text);

}  // namespace tv
