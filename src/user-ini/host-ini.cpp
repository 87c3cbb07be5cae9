// SPDX-License-Identifier: GPL-2.0-or-later
#include "user-ini/host-ini.h"

#include <algorithm>

namespace {

bool is_ini_whitespace(char c)
{
	return c == ' ' || c == '\t' || is_ini_line_end(c);
}

// The first line end at or after `from`, or `end`.
size_t line_end_from(std::string_view content, size_t from, size_t end)
{
	while (from < end && !is_ini_line_end(content[from]))
		++from;
	return from;
}

// Past the line end at `at` (which may be `end`).
size_t past_line_end(std::string_view content, size_t at, size_t end)
{
	return at < end ? std::min(end, at + ini_line_end_size(content, at)) : end;
}

template<typename T> const T *last_named(const std::vector<T> &all, std::string_view name, std::string_view T::*field)
{
	const auto found = std::find_if(all.rbegin(), all.rend(), [&](const T &one) { return one.*field == name; });
	return found == all.rend() ? nullptr : &*found;
}

} // namespace

const ini_item *ini_section::find(std::string_view key) const
{
	return last_named(items, key, &ini_item::key);
}

const ini_section *ini_document::find(std::string_view name) const
{
	return last_named(sections, name, &ini_section::name);
}

size_t ini_line_end_size(std::string_view content, size_t at)
{
	if (at >= content.size() || !is_ini_line_end(content[at]))
		return 0;
	const bool pair = at + 1 < content.size() && is_ini_line_end(content[at + 1]) && content[at + 1] != content[at];
	return pair ? 2 : 1;
}

std::string_view ini_line_end_style(std::string_view content)
{
	const size_t at = content.find_first_of("\r\n");
	if (at == std::string_view::npos || content[at] == '\n')
		return "\n";
	return content.substr(at, ini_line_end_size(content, at)) == "\r\n" ? "\r\n" : "\r";
}

ini_document read_host_ini(std::string_view content)
{
	ini_document document;
	const size_t end = std::min(content.find('\0'), content.size());
	document.read_end = end;
	size_t pos = content.starts_with(utf8_bom) ? utf8_bom.size() : 0;
	ini_section *section = nullptr;
	while (true) {
		while (pos < end && is_ini_whitespace(content[pos]))
			++pos;
		if (pos >= end)
			break;
		if (content[pos] == '[') {
			size_t name_end = pos + 1;
			while (name_end < end && content[name_end] != ']' && !is_ini_line_end(content[name_end]))
				++name_end;
			if (name_end == pos + 1) {
				document.read_end = pos;
				break;
			}
			section = &document.sections.emplace_back();
			section->name = content.substr(pos + 1, name_end - pos - 1);
			section->header_at = pos;
			section->name_end = name_end;
			// After ']' the rest of the line reads as a line of its own.
			pos = name_end < end && content[name_end] == ']' ? name_end + 1
									 : past_line_end(content, name_end, end);
			continue;
		}
		if (!section || content[pos] == '#') {
			pos = past_line_end(content, line_end_from(content, pos, end), end);
			continue;
		}
		// The key's first byte is taken even when it is '='.
		size_t key_end = pos + 1;
		while (key_end < end && content[key_end] != '=' && !is_ini_line_end(content[key_end]))
			++key_end;
		if (key_end < end && is_ini_line_end(content[key_end])) { // no '=': skipped
			pos = past_line_end(content, key_end, end);
			continue;
		}
		ini_item &item = section->items.emplace_back();
		item.key = content.substr(pos, key_end - pos);
		item.has_equals = key_end < end;
		item.value_start = item.has_equals ? key_end + 1 : end;
		item.value_end = line_end_from(content, item.value_start, end);
		pos = past_line_end(content, item.value_end, end);
	}
	return document;
}

size_t unescaped_value::stored_offset(size_t at) const
{
	return at + static_cast<size_t>(std::lower_bound(escapes.begin(), escapes.end(), at) - escapes.begin());
}

unescaped_value unescape_ini_value(std::string_view stored)
{
	unescaped_value value;
	value.text.reserve(stored.size());
	for (size_t i = 0; i < stored.size(); ++i) {
		char c = stored[i];
		if (c == '\\' && i + 1 < stored.size()) {
			const char next = stored[i + 1];
			if (next == '\\' || next == 'n' || next == 'r') {
				value.escapes.push_back(static_cast<uint32_t>(value.text.size()));
				c = next == 'n' ? '\n' : next == 'r' ? '\r' : '\\';
				++i;
			}
		}
		value.text.push_back(c);
	}
	return value;
}

std::string ini_edit::applied_to(std::string_view content) const
{
	std::string out;
	out.reserve(content.size() - erase + text.size());
	out.append(content.substr(0, at)).append(text).append(content.substr(at + erase));
	return out;
}

ini_edit set_ini_value(std::string_view content, const ini_section &section, std::string_view key,
		       std::string_view value)
{
	ini_edit edit;
	if (const ini_item *item = section.find(key)) {
		edit.at = item->value_start;
		edit.erase = item->value_end - item->value_start;
		if (!item->has_equals)
			edit.text.push_back('=');
		edit.text.append(value);
		return edit;
	}

	const std::string_view eol = ini_line_end_style(content);
	const size_t end = std::min(content.find('\0'), content.size());
	size_t line_end = section.name_end;
	if (section.name_end < end && content[section.name_end] == ']') {
		line_end = section.name_end + 1;
		while (line_end < end && (content[line_end] == ' ' || content[line_end] == '\t'))
			++line_end;
		// More on the header's line: the key goes between, on a line of its own.
		if (line_end < end && !is_ini_line_end(content[line_end])) {
			edit.at = section.name_end + 1;
			edit.text.append(key).append("=").append(value).append(eol);
			return edit;
		}
	}
	edit.at = past_line_end(content, line_end, end);
	if (line_end == end) // the header ends the text the host reads
		edit.text.append(eol);
	edit.text.append(key).append("=").append(value).append(eol);
	return edit;
}

ini_edit add_ini_section(std::string_view content, const ini_document &document, std::string_view name,
			 std::string_view key, std::string_view value)
{
	ini_edit edit;
	edit.at = document.read_end;
	const std::string_view eol = ini_line_end_style(content);
	const size_t text_start = content.starts_with(utf8_bom) ? utf8_bom.size() : 0;
	if (edit.at > text_start && !is_ini_line_end(content[edit.at - 1])) {
		// A last line without '=' is a key only while no line end follows.
		const ini_item *last = document.sections.empty() || document.sections.back().items.empty()
					       ? nullptr
					       : &document.sections.back().items.back();
		if (last && !last->has_equals && last->value_end == edit.at)
			edit.text.push_back('=');
		edit.text.append(eol);
	}
	edit.text.append("[").append(name).append("]").append(eol);
	edit.text.append(key).append("=").append(value).append(eol);
	return edit;
}
