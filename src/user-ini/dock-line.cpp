// SPDX-License-Identifier: GPL-2.0-or-later
#include "user-ini/dock-line.h"

#include "context/service-context.h"

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

void write_ini_line(std::string &out, std::string_view line)
{
	out.append(line);
	out.push_back('\n');
}

// The value as the host's INI layer hands it to its JSON reader, and for
// every byte of it the offset of the stored byte it came from, so that an
// element can be kept exactly as it was stored.
struct unescaped_value {
	std::string text;
	std::vector<size_t> origin; // one more entry than `text`: the stored size
};

unescaped_value unescape_ini_value(std::string_view stored)
{
	unescaped_value value;
	value.text.reserve(stored.size());
	value.origin.reserve(stored.size() + 1);
	for (size_t i = 0; i < stored.size(); ++i) {
		value.origin.push_back(i);
		char c = stored[i];
		if (c == '\\' && i + 1 < stored.size()) {
			const char next = stored[i + 1];
			if (next == '\\' || next == 'n' || next == 'r') {
				c = next == 'n' ? '\n' : next == 'r' ? '\r' : '\\';
				++i;
			}
		}
		value.text.push_back(c);
	}
	value.origin.push_back(stored.size());
	return value;
}

void append_utf8(std::string &out, unsigned code)
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

// A strict JSON reader over one text. Containers are tracked on a stack of
// their own, so deep nesting costs memory up to the cap, never call depth.
class json_reader {
public:
	explicit json_reader(std::string_view text) : text_(text) {}

	size_t pos() const { return pos_; }

	void skip_whitespace()
	{
		while (pos_ < text_.size() &&
		       (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' || text_[pos_] == '\r'))
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
		while (pos_ < text_.size()) {
			const auto c = static_cast<unsigned char>(text_[pos_]);
			if (c == '"') {
				++pos_;
				return true;
			}
			if (c < 0x20)
				return false;
			if (!(c == '\\' ? read_escape(out) : read_utf8(out)))
				return false;
		}
		return false;
	}

	// A member name and its colon.
	bool read_member_name(std::string *name) { return read_string(name) && eat(':'); }

	// Any value, checked and skipped; `depth` containers already hold it.
	bool skip_value(size_t depth)
	{
		std::vector<char> closers;
		for (;;) {
			skip_whitespace();
			if (next_is('[') || next_is('{')) {
				const char closer = text_[pos_++] == '[' ? ']' : '}';
				if (depth + closers.size() + 1 > max_dock_list_depth)
					return false;
				if (!eat(closer)) {
					closers.push_back(closer);
					if (closer == '}' && !read_member_name(nullptr))
						return false;
					continue;
				}
			} else if (!read_scalar()) {
				return false;
			}
			// After a value: close what ends here, then the next value.
			for (;;) {
				if (closers.empty())
					return true;
				if (eat(closers.back())) {
					closers.pop_back();
					continue;
				}
				if (!eat(','))
					return false;
				if (closers.back() == '}' && !read_member_name(nullptr))
					return false;
				break;
			}
		}
	}

private:
	bool read_scalar()
	{
		if (next_is('"'))
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

	bool digit() const { return pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9'; }
	bool at(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
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
		if (at('-'))
			++pos_;
		if (at('0'))
			++pos_;
		else if (!read_digits())
			return false;
		if (at('.')) {
			++pos_;
			if (!read_digits())
				return false;
		}
		if (at('e') || at('E')) {
			++pos_;
			if (at('+') || at('-'))
				++pos_;
			if (!read_digits())
				return false;
		}
		return true;
	}

	bool read_hex4(unsigned &code)
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
			code = code << 4 | static_cast<unsigned>(v);
		}
		return true;
	}

	bool read_escape(std::string *out)
	{
		if (++pos_ >= text_.size())
			return false;
		const char c = text_[pos_++];
		const std::string_view simple = "\"\\/bfnrt";
		const std::string_view decoded = "\"\\/\b\f\n\r\t";
		if (const size_t at = simple.find(c); at != std::string_view::npos) {
			if (out)
				*out += decoded[at];
			return true;
		}
		unsigned code = 0;
		if (c != 'u' || !read_hex4(code))
			return false;
		if (code >= 0xd800 && code < 0xdc00 && text_.substr(pos_, 2) == "\\u") {
			const size_t before = pos_;
			pos_ += 2;
			unsigned low = 0;
			if (!read_hex4(low))
				return false;
			if (low >= 0xdc00 && low < 0xe000)
				code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
			else
				pos_ = before; // read on its own next
		}
		// The grammar allows a lone surrogate; it stands for no character.
		if (code >= 0xd800 && code < 0xe000)
			code = 0xfffd;
		if (out)
			append_utf8(*out, code);
		return true;
	}

	// One UTF-8 character: no overlong forms, surrogates or code points
	// beyond U+10FFFF.
	bool read_utf8(std::string *out)
	{
		const auto lead = static_cast<unsigned char>(text_[pos_]);
		size_t length = 1;
		unsigned char low = 0x80, high = 0xbf; // range of the second byte
		if (lead >= 0xc2 && lead <= 0xdf) {
			length = 2;
		} else if (lead >= 0xe0 && lead <= 0xef) {
			length = 3;
			low = lead == 0xe0 ? 0xa0 : 0x80;
			high = lead == 0xed ? 0x9f : 0xbf;
		} else if (lead >= 0xf0 && lead <= 0xf4) {
			length = 4;
			low = lead == 0xf0 ? 0x90 : 0x80;
			high = lead == 0xf4 ? 0x8f : 0xbf;
		} else if (lead >= 0x80) {
			return false;
		}
		if (pos_ + length > text_.size())
			return false;
		for (size_t i = 1; i < length; ++i) {
			const auto c = static_cast<unsigned char>(text_[pos_ + i]);
			if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xbf))
				return false;
		}
		if (out)
			out->append(text_.substr(pos_, length));
		pos_ += length;
		return true;
	}

	std::string_view text_;
	size_t pos_ = 0;
};

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

// The list's service entries are exactly the two of `service_entries`, in
// either order.
bool holds_service_docks(const std::vector<dock_list_element> &list, std::string_view service_entries)
{
	// Appended, not concatenated: g++ 12 at -O3 warns falsely (-Wrestrict)
	// about operator+ on a temporary string.
	std::string expected_text;
	expected_text.reserve(service_entries.size() + 2);
	expected_text.append("[").append(service_entries).append("]");
	const auto expected = parse_dock_list(expected_text);
	if (!expected || expected->size() != 2)
		return false;
	std::vector<const dock_list_element *> found;
	for (const dock_list_element &element : list)
		if (is_service_entry(element))
			found.push_back(&element);
	if (found.size() != 2)
		return false;
	const dock_list_element &live = (*expected)[0], &chat = (*expected)[1];
	return (same_dock(*found[0], live) && same_dock(*found[1], chat)) ||
	       (same_dock(*found[0], chat) && same_dock(*found[1], live));
}

} // namespace

std::optional<std::vector<dock_list_element>> parse_dock_list(std::string_view stored_value)
{
	const unescaped_value value = unescape_ini_value(stored_value);
	json_reader json(value.text);
	if (!json.eat('['))
		return std::nullopt;
	std::vector<dock_list_element> elements;
	if (!json.eat(']')) {
		do {
			json.skip_whitespace();
			const size_t start = json.pos();
			dock_list_element element;
			if (!(json.next_is('{') ? read_dock_object(json, element) : json.skip_value(1)))
				return std::nullopt;
			const size_t stored_start = value.origin[start];
			element.text = stored_value.substr(stored_start, value.origin[json.pos()] - stored_start);
			elements.push_back(std::move(element));
		} while (json.eat(','));
		if (!json.eat(']'))
			return std::nullopt;
	}
	if (!json.at_end())
		return std::nullopt;
	return elements;
}

bool is_service_entry(const dock_list_element &element)
{
	return element.is_object && ((element.url && element.url->find(slug_marker) != std::string::npos) ||
				     (element.uuid && element.uuid->starts_with("brivora_")));
}

std::optional<std::string> docks_line_repair(std::string_view content, std::string_view service_entries)
{
	const std::vector<std::string_view> values = basic_window_docks_values(content);
	std::optional<std::vector<dock_list_element>> list;
	if (!values.empty())
		list = parse_dock_list(values.front());

	std::string line(docks_key);
	line += '[';
	if (list) {
		for (const dock_list_element &element : *list) {
			if (!is_service_entry(element)) {
				line.append(element.text);
				line += ',';
			}
		}
	}
	line.append(service_entries);
	line += ']';

	if (values.size() == 1) {
		if (list && holds_service_docks(*list, service_entries))
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
			in_basic = line == basic_window_header;
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
			in_basic = line == basic_window_header;
		else if (in_basic && line.starts_with(docks_key))
			values.push_back(line.substr(docks_key.size()));
	}
	return values;
}
