#pragma once
// The string table: operator-visible texts meant for translation, by id.

// Returns the text of `id`, or nullptr when the table has none.
const char* string_table_text(int id);
