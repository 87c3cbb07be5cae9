// SPDX-License-Identifier: GPL-2.0-or-later
#include "user-ini/dock-line.h"

#include "context/service-context.h"

#include <algorithm>
#include <cstdint>
#include <utility>

namespace {

constexpr std::string_view basic_window_header = "[BasicWindow]";
constexpr std::string_view appended_section_start = "\n[BasicWindow]\n";

// The line that starts at `start`, without its line feed and one carriage
// return before it; `start` moves to the next line.
std::string_view next_line(std::string_view content, size_t &start)
{
	size_t end = content.find('\n', start);
	size_t next = end == std::string_view::npos ? content.size() : end + 1;
	std::string_view line = content.substr(start, next - start);
	if (!line.empty() && line.back() == '\n')
		line.remove_suffix(1);
	if (!line.empty() && line.back() == '\r')
		line.remove_suffix(1);
	start = next;
	return line;
}

bool is_section_header(std::string_view line)
{
	return !line.empty() && line.front() == '[';
}

// Carriage returns left at the end of a line (a line reads without one of
// them, and a rewrite drops one more) do not change what the header names,
// so that one rewrite settles the file.
bool is_basic_window_header(std::string_view line)
{
	while (line.ends_with('\r'))
		line.remove_suffix(1);
	return line == basic_window_header;
}

void write_ini_line(std::string &out, std::string_view line)
{
	out.append(line);
	out.push_back('\n');
}

// The value as the host's INI layer hands it to its JSON reader: up to its
// first line end (the host's INI reader ends a value at a carriage return
// too) or NUL, with \\, \n and \r undone. The collapsed escapes are kept
// apart, so that an element can be kept exactly as it was stored.
struct unescaped_value {
	std::string text;
	// The positions in `text` of the bytes that stood for two stored bytes.
	std::vector<uint32_t> escapes;

	// The offset in the stored value of the byte at `at` in `text`.
	size_t stored_offset(size_t at) const
	{
		return at + static_cast<size_t>(std::lower_bound(escapes.begin(), escapes.end(), at) - escapes.begin());
	}
};

unescaped_value unescape_ini_value(std::string_view stored)
{
	stored = stored.substr(0, std::min(stored.find('\r'), stored.find('\0')));
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

void append_utf8(std::string &out, unsigned long code)
{
	if (code < 0x80) {
		out += static_cast<char>(code);
	} else if (code < 0x800) {
		out += static_cast<char>(0xc0 | code >> 6);
		out += static_cast<char>(0x80 | (code & 0x3f));
	} else if (code < 0x10000) {
		out += static_cast<char>(0xe0 | code >> 12);
		out += static_cast<char>(0x80 | (code >> 6 & 0x3f));
		out += static_cast<char>(0x80 | (code & 0x3f));
	} else {
		out += static_cast<char>(0xf0 | code >> 18);
		out += static_cast<char>(0x80 | (code >> 12 & 0x3f));
		out += static_cast<char>(0x80 | (code >> 6 & 0x3f));
		out += static_cast<char>(0x80 | (code & 0x3f));
	}
}

bool in_range(unsigned long value, unsigned long low, unsigned long high)
{
	return value >= low && value <= high;
}

// A JSON reader that accepts and rejects what the host's reader does, and
// decodes strings as it does: bytes inside strings are taken as they are
// (no UTF-8 check), an escaped surrogate pair becomes one character and a
// lone escaped surrogate is encoded on its own.
class json_reader {
public:
	explicit json_reader(std::string_view text) : text_(text) {}

	size_t pos() const { return pos_; }

	void skip_whitespace()
	{
		while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r')
			++pos_;
	}

	// The next character after whitespace is `c`; `eat` also takes it.
	bool next_is(char c)
	{
		skip_whitespace();
		return pos_ < text_.size() && text_[pos_] == c;
	}
	bool eat(char c)
	{
		if (!next_is(c))
			return false;
		++pos_;
		return true;
	}

	bool at_end()
	{
		skip_whitespace();
		return pos_ == text_.size();
	}

	// A string, decoded into `out` when it is given.
	bool read_string(std::string *out)
	{
		if (!eat('"'))
			return false;
		// An escaped code point waits until the next one shows whether
		// the two are a surrogate pair.
		long pending = -1;
		auto flush = [&] {
			if (pending >= 0 && out)
				append_utf8(*out, static_cast<unsigned long>(pending));
			pending = -1;
		};
		while (pos_ < text_.size()) {
			char c = text_[pos_++];
			if (c == '"') {
				flush();
				return true;
			}
			if (static_cast<unsigned char>(c) < 0x20)
				return false;
			if (c != '\\') {
				flush();
				if (out)
					*out += c;
				continue;
			}
			if (pos_ >= text_.size())
				return false;
			c = text_[pos_++];
			if (c == 'u') {
				unsigned long code = 0;
				if (!read_hex4(code))
					return false;
				if (pending >= 0 && in_range(static_cast<unsigned long>(pending), 0xd800, 0xdbff) &&
				    in_range(code, 0xdc00, 0xdfff)) {
					if (out)
						append_utf8(*out,
							    ((static_cast<unsigned long>(pending) - 0xd800) << 10 |
							     (code - 0xdc00)) +
								    0x10000);
					pending = -1;
				} else {
					flush();
					pending = static_cast<long>(code);
				}
				continue;
			}
			flush();
			const std::string_view simple = "\"\\/bfnrt";
			const std::string_view decoded = "\"\\/\b\f\n\r\t";
			const size_t at = simple.find(c);
			if (at == std::string_view::npos)
				return false;
			if (out)
				*out += decoded[at];
		}
		return false;
	}

	// A member name and its colon.
	bool read_member_name(std::string *name) { return read_string(name) && eat(':'); }

	// Any value at nesting `depth`, checked and skipped.
	bool skip_value(int depth)
	{
		if (depth > max_json_depth)
			return false;
		skip_whitespace();
		if (peek() != '[' && peek() != '{')
			return read_scalar();
		const char closer = text_[pos_++] == '[' ? ']' : '}';
		if (eat(closer))
			return true;
		do {
			if (closer == '}' && !read_member_name(nullptr))
				return false;
			if (!skip_value(depth + 1))
				return false;
		} while (eat(','));
		return eat(closer);
	}

private:
	// The character at the position, or NUL past the end.
	char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }
	bool digit() const { return peek() >= '0' && peek() <= '9'; }

	bool read_scalar()
	{
		if (peek() == '"')
			return read_string(nullptr);
		return read_literal("true") || read_literal("false") || read_literal("null") || read_number();
	}

	bool read_literal(std::string_view word)
	{
		if (text_.substr(pos_, word.size()) != word)
			return false;
		pos_ += word.size();
		return true;
	}

	bool read_digits()
	{
		if (!digit())
			return false;
		while (digit())
			++pos_;
		return true;
	}

	bool read_number()
	{
		if (peek() == '-')
			++pos_;
		if (peek() == '0') {
			++pos_;
			if (digit())
				return false;
		} else if (!read_digits()) {
			return false;
		}
		if (peek() == '.') {
			++pos_;
			if (!read_digits())
				return false;
		}
		if (peek() == 'e' || peek() == 'E') {
			++pos_;
			if (peek() == '+' || peek() == '-')
				++pos_;
			if (!read_digits())
				return false;
		}
		return true;
	}

	bool read_hex4(unsigned long &code)
	{
		if (pos_ + 4 > text_.size())
			return false;
		code = 0;
		for (int i = 0; i < 4; ++i) {
			const char c = text_[pos_++];
			const int v = c >= '0' && c <= '9'   ? c - '0'
				      : c >= 'a' && c <= 'f' ? c - 'a' + 10
				      : c >= 'A' && c <= 'F' ? c - 'A' + 10
							     : -1;
			if (v < 0)
				return false;
			code = code << 4 | static_cast<unsigned long>(v);
		}
		return true;
	}

	std::string_view text_;
	size_t pos_ = 0;
};

// An element of the list (depth 1): its members are at depth 2.
bool read_dock_object(json_reader &json, dock_list_element &element)
{
	element.is_object = json.eat('{');
	if (json.eat('}'))
		return true;
	do {
		std::string name;
		if (!json.read_member_name(&name))
			return false;
		std::optional<std::string> *field = name == "title"  ? &element.title
						    : name == "url"  ? &element.url
						    : name == "uuid" ? &element.uuid
								     : nullptr;
		if (field && json.next_is('"')) {
			std::string value;
			if (!json.read_string(&value))
				return false;
			*field = std::move(value);
		} else {
			if (!json.skip_value(2))
				return false;
			if (field)
				field->reset();
		}
	} while (json.eat(','));
	return json.eat('}');
}

bool same_dock(const dock_list_element &a, const dock_list_element &b)
{
	return a.title == b.title && a.url == b.url && a.uuid == b.uuid;
}

// The service entries of a list: how many, and the first two.
struct service_entries_seen {
	size_t count = 0;
	dock_list_element first[2];

	void add(const dock_list_element &element)
	{
		if (count < 2)
			first[count] = element;
		++count;
	}
};

// The list's service entries are exactly the two of `service_entries`, in
// either order.
bool holds_service_docks(const service_entries_seen &seen, std::string_view service_entries)
{
	if (seen.count != 2)
		return false;
	// Appended, not concatenated: g++ 12 at -O3 warns falsely (-Wrestrict)
	// about operator+ on a temporary string.
	std::string expected_text;
	expected_text.reserve(service_entries.size() + 2);
	expected_text.append("[").append(service_entries).append("]");
	service_entries_seen expected;
	if (!read_dock_list(expected_text, [&](const dock_list_element &element) { expected.add(element); }) ||
	    expected.count != 2)
		return false;
	const dock_list_element &live = expected.first[0], &chat = expected.first[1];
	return (same_dock(seen.first[0], live) && same_dock(seen.first[1], chat)) ||
	       (same_dock(seen.first[0], chat) && same_dock(seen.first[1], live));
}

} // namespace

bool read_dock_list(std::string_view stored_value, const std::function<void(const dock_list_element &)> &each)
{
	const unescaped_value value = unescape_ini_value(stored_value);
	json_reader json(value.text);
	if (!json.eat('['))
		return false;
	if (!json.eat(']')) {
		do {
			json.skip_whitespace();
			const size_t start = json.pos();
			dock_list_element element;
			if (!(json.next_is('{') ? read_dock_object(json, element) : json.skip_value(1)))
				return false;
			if (each) {
				const size_t stored_start = value.stored_offset(start);
				element.text = stored_value.substr(stored_start,
								   value.stored_offset(json.pos()) - stored_start);
				each(element);
			}
		} while (json.eat(','));
		if (!json.eat(']'))
			return false;
	}
	return json.at_end();
}

bool is_service_entry(const dock_list_element &element)
{
	return element.is_object && ((element.url && element.url->find(slug_marker) != std::string::npos) ||
				     (element.uuid && element.uuid->starts_with("brivora_")));
}

void absorb_user_ini_docks(service_context &context, std::string_view content)
{
	for (std::string_view value : basic_window_docks_values(content)) {
		if (context.complete())
			return;
		// Only a list the host shows teaches, so it is checked whole first.
		if (!read_dock_list(value))
			continue;
		read_dock_list(value, [&](const dock_list_element &element) {
			if (is_service_entry(element) && element.url)
				context.absorb_service_url(element.url->c_str());
		});
	}
}

std::optional<std::string> docks_line_repair(std::string_view content, std::string_view service_entries)
{
	const std::vector<std::string_view> values = basic_window_docks_values(content);

	std::string line(docks_key);
	line += '[';
	service_entries_seen seen;
	const bool readable = !values.empty() && read_dock_list(values.front(), [&](const dock_list_element &element) {
		if (is_service_entry(element)) {
			seen.add(element);
		} else {
			line.append(element.text);
			line += ',';
		}
	});
	if (!readable) // the host shows nothing of it: nothing to keep
		line.resize(docks_key.size() + 1);
	line.append(service_entries);
	line += ']';

	if (values.size() == 1) {
		if (readable && holds_service_docks(seen, service_entries))
			return std::nullopt;
		// Also a line that cannot parse: the repair must not loop on it.
		if (line.size() == docks_key.size() + values.front().size() && line.starts_with(docks_key) &&
		    line.ends_with(values.front()))
			return std::nullopt;
	}
	return line;
}

std::string rewrite_user_ini(std::string_view content, std::string_view expected_line)
{
	std::string out;
	out.reserve(content.size() + expected_line.size() + appended_section_start.size() + 1);

	bool in_basic = false;
	bool found_basic = false;
	bool wrote_docks = false;

	auto write_docks_once = [&] {
		if (!wrote_docks) {
			write_ini_line(out, expected_line);
			wrote_docks = true;
		}
	};

	for (size_t start = 0; start < content.size();) {
		std::string_view line = next_line(content, start);
		if (is_section_header(line)) {
			if (in_basic)
				write_docks_once();
			in_basic = is_basic_window_header(line);
			found_basic = found_basic || in_basic;
			write_ini_line(out, line);
		} else if (in_basic && line.starts_with(docks_key)) {
			write_docks_once(); // older or duplicate docks lines are replaced, not kept
		} else {
			write_ini_line(out, line);
		}
	}

	if (!found_basic) {
		out.append(appended_section_start);
		write_ini_line(out, expected_line);
	} else if (in_basic) {
		write_docks_once();
	}
	return out;
}

std::vector<std::string_view> basic_window_docks_values(std::string_view content)
{
	std::vector<std::string_view> values;
	bool in_basic = false;
	for (size_t start = 0; start < content.size();) {
		std::string_view line = next_line(content, start);
		if (is_section_header(line))
			in_basic = is_basic_window_header(line);
		else if (in_basic && line.starts_with(docks_key))
			values.push_back(line.substr(docks_key.size()));
	}
	return values;
}
