// SPDX-License-Identifier: GPL-2.0-or-later
#include "user-ini/host-json.h"

#include "user-ini/host-ini.h"

#include <cstring>
#include <utility>

namespace {

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
			// The host passes the member on as a C string.
			value.resize(std::strlen(value.c_str()));
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
