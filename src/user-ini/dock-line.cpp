// SPDX-License-Identifier: GPL-2.0-or-later
#include "user-ini/dock-line.h"

#include "context/service-context.h"
#include "user-ini/host-ini.h"

#include <algorithm>

namespace {

// The stored value of the docks line the host reads, if any.
std::optional<std::string_view> host_docks_value(std::string_view content, const ini_document &document)
{
	const ini_section *section = document.find(basic_window_section);
	const ini_item *item = section ? section->find(docks_key) : nullptr;
	if (!item)
		return std::nullopt;
	return content.substr(item->value_start, item->value_end - item->value_start);
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

std::optional<std::string> value_repair(std::string_view content, const ini_document &document,
					std::string_view service_entries)
{
	const std::optional<std::string_view> value = host_docks_value(content, document);

	std::string repaired = "[";
	service_entries_seen seen;
	const bool readable = value && read_dock_list(*value, [&](const dock_list_element &element) {
				      if (is_service_entry(element)) {
					      seen.add(element);
				      } else {
					      repaired.append(element.text);
					      repaired += ',';
				      }
			      });
	if (!readable) // the host shows nothing of it: nothing to keep
		repaired.resize(1);
	repaired.append(service_entries);
	repaired += ']';

	// Also a value that cannot parse: the repair must not loop on it.
	if (value && ((readable && holds_service_docks(seen, service_entries)) || *value == repaired))
		return std::nullopt;
	return repaired;
}

std::string rewritten(std::string_view content, const ini_document &document, std::string_view docks_value)
{
	const ini_section *section = document.find(basic_window_section);
	const ini_edit edit =
		section ? set_ini_value(content, *section, docks_key, docks_value)
			: add_ini_section(content, document, basic_window_section, docks_key, docks_value);
	return edit.applied_to(content);
}

} // namespace

bool is_service_entry(const dock_list_element &element)
{
	return element.is_object && ((element.url && is_service_url(*element.url)) ||
				     (element.uuid && element.uuid->starts_with("brivora_")));
}

module_docks_seen module_docks_seen::written_for(const service_context &context)
{
	module_docks_seen written{true, {}};
	for (const char *path : {live_dock_path, chat_dock_path}) {
		char url[service_url_size];
		context.dock_url(url, sizeof(url), path);
		written.urls.emplace_back(url);
	}
	return written;
}

void absorb_user_ini_docks(service_context &context, std::string_view content, module_docks_seen &seen)
{
	if (context.complete())
		return;
	const std::optional<std::string_view> value = host_docks_value(content, read_host_ini(content));
	module_docks_seen now{true, {}};
	// Only a list the host shows teaches, so it is checked whole first.
	if (value && read_dock_list(*value))
		read_dock_list(*value, [&](const dock_list_element &element) {
			if (!is_service_entry(element) || !element.url)
				return;
			const bool module_dock = element.uuid &&
						 (*element.uuid == live_dock_uuid || *element.uuid == chat_dock_uuid);
			if (module_dock)
				now.urls.push_back(*element.url);
			const bool changed = seen.known &&
					     std::ranges::find(seen.urls, *element.url) == seen.urls.end();
			const url_origin origin = module_dock && !changed ? url_origin::module_output
									  : url_origin::streamer;
			context.absorb_service_url(element.url->c_str(), origin);
		});
	seen = std::move(now);
}

std::optional<std::string> docks_value_repair(std::string_view content, std::string_view service_entries)
{
	return value_repair(content, read_host_ini(content), service_entries);
}

std::string rewrite_user_ini(std::string_view content, std::string_view docks_value)
{
	return rewritten(content, read_host_ini(content), docks_value);
}

std::optional<std::string> repaired_user_ini(std::string_view content, std::string_view service_entries)
{
	const ini_document document = read_host_ini(content);
	const std::optional<std::string> value = value_repair(content, document, service_entries);
	return value ? std::optional(rewritten(content, document, *value)) : std::nullopt;
}
