// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// user.ini as the host reads it (libobs's INI reader from 29.1 on): its
// sections, keys and values, each value with its place in the stored bytes,
// and where reading stops. No host involved.
//
// The grammar: CR, LF, CRLF and LF-CR each end a line; one leading UTF-8 BOM
// is dropped; the first NUL ends the file; blank lines and leading
// whitespace are skipped; lines before the first section are ignored; '['
// first on a line opens a section named by the bytes up to ']' or the line
// end, untrimmed, and the rest of that line is read as a new line; an empty
// name ("[]", a lone "[") stops reading; '#' first on a line is a comment; a
// key is its first byte and every byte up to the next '=', untrimmed; a line
// without '=' is skipped, except a last line with no line end, which is a key
// with an empty value; a value runs to CR or LF and has \\, \n, \r undone.
// A lookup finds the last section of a name and in it the last key. (libobs
// keeps names in a hash table that reverses equal names when it grows, at ten
// entries in one bucket: then an earlier one can win. No user.ini the host
// writes comes near that; this reading keeps to the last.)

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct ini_item {
	std::string_view key;
	// The stored value: content[value_start, value_end), escapes not undone.
	size_t value_start = 0, value_end = 0;
	// False for a last line without '=', read as a key with no value.
	bool has_equals = true;
};

struct ini_section {
	std::string_view name;
	size_t header_at = 0; // the '[' that opens it
	size_t name_end = 0;  // the ']', line end or end of reading that ends its name
	std::vector<ini_item> items;

	// The last item of the key, as the host finds it; null when none.
	const ini_item *find(std::string_view key) const;
};

struct ini_document {
	std::vector<ini_section> sections; // in file order, repeated names too
	// Where the host stops reading: an empty section name's '[', the first
	// NUL, or the end of the content.
	size_t read_end = 0;

	// The last section of the name, as the host finds it; null when none.
	const ini_section *find(std::string_view name) const;
};

inline constexpr std::string_view utf8_bom = "\xef\xbb\xbf";

// Reads the whole content of a user.ini (NUL bytes included) as the host does.
ini_document read_host_ini(std::string_view content);

// True for the bytes that end a line for the host.
inline bool is_ini_line_end(char c)
{
	return c == '\r' || c == '\n';
}

// The line end that starts at `at`: 2 for CRLF and LF-CR, 1 for a lone CR or
// LF, 0 for none.
size_t ini_line_end_size(std::string_view content, size_t at);

// The file's own line end: its first one, as CRLF, CR or LF; LF when it has none.
std::string_view ini_line_end_style(std::string_view content);

// A value as the host hands it on, its \\, \n and \r undone, with the places
// of the undone escapes kept, so that a part of it can be found again in the
// stored bytes.
struct unescaped_value {
	std::string text;
	// The positions in `text` of the bytes that stood for two stored bytes.
	std::vector<uint32_t> escapes;

	// The offset in the stored value of the byte at `at` in `text`.
	size_t stored_offset(size_t at) const;
};

// `stored` is a value as the document places it: no line end or NUL inside.
unescaped_value unescape_ini_value(std::string_view stored);

// A change to a user.ini: `text` inserted at `at` in place of `erase` bytes.
struct ini_edit {
	size_t at = 0, erase = 0;
	std::string text;

	std::string applied_to(std::string_view content) const;
};

// The edit that makes the host read `value` (stored bytes, escapes and all)
// as the last `key` of `section` of `document`: the bytes of that key's value
// replaced, or the key added at the start of the section.
ini_edit set_ini_value(std::string_view content, const ini_section &section, std::string_view key,
		       std::string_view value);

// The edit that adds a section holding one key, placed where the host still
// reads it: before an empty section name or the first NUL that stops the
// reading, else at the end. What the host read before is read as before.
ini_edit add_ini_section(std::string_view content, const ini_document &document, std::string_view name,
			 std::string_view key, std::string_view value);
