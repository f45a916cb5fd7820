// Comparing key values the way the servers' ORDER BY orders them, so that the row merge
// pairs the rows that both sides hold. Plain text comparison gets many keys wrong:
// DECIMAL ('9.00' before '10.00'), TIME ('-1:00:00', '100:00:00'), strings in a
// case- or accent-insensitive collation ('Ä' between 'A' and 'B'), trailing spaces.
// For strings the server gives the collation's sort key (WEIGHT_STRING), and for ENUM
// and SET the member number; those come as extra columns of the row statements.
#pragma once

#include <string>

#include "connection/column_definition.h"

namespace kro::sync {

enum class KeyOrder {
    integer,   // any size, compared exactly
    floating,  // as double values
    decimal,   // exact decimal texts
    time,      // [-]H:MM:SS[.ffffff]
    bytes,     // byte by byte, shorter first (dates, binary strings, BIT)
    weight,    // the server's sort key, byte by byte
    member,    // ENUM / SET member number, as an integer
};

struct KeySort {
    KeyOrder order = KeyOrder::bytes;
    // The column expression whose value is compared instead of the key, empty for the key.
    std::string expression;
};

KeySort key_sort(const connection::ColumnDefinition& column);

// Negative, zero or positive as a sorts before, with or after b. Neither is NULL.
int compare_key_values(KeyOrder order, const char* a, unsigned long a_length, const char* b,
                       unsigned long b_length);

}  // namespace kro::sync
