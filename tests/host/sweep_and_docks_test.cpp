// SPDX-License-Identifier: GPL-2.0-or-later
#include "host_fixture.hpp"

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

std::string removal_line(const std::string &name)
{
	return "[brivora-signature-guard] removing duplicate alerts source: " + name;
}

std::string expected_docks(const std::string &slug, const std::string &token)
{
	auto dock = [&](const std::string &path) {
		return base_url + "/" + slug + "/" + path + "?dock=1&pluginVersion=1.2.0&widgetToken=" + token;
	};
	return "ExtraBrowserDocks=[{\"title\":\"Brivora Dock Live\",\"url\":\"" + dock("live-dock/") +
	       "\",\"uuid\":\"brivora_live_dock\"},{\"title\":\"Brivora Chat\",\"url\":\"" + dock("chat/") +
	       "\",\"uuid\":\"brivora_chat_dock\"}]";
}

const std::string docks_updated =
	"[brivora-signature-guard] Brivora: OBS docks updated for streamer. Restart OBS if the old login docks are still open.";

} // namespace

TEST_F(HostTest, SweepRemovesDuplicateAlertItemsOnly)
{
	obs_source_t *duplicate = browser_source("Stream Alerts", "https://other.example/u/alerts/42");
	obs_source_t *own_alerts = browser_source("Brivora Alerts", base_url + "/s/alerts/?widgetToken=t");
	standin::add_item(scene, own_alerts);
	standin::add_item(scene, duplicate);
	standin::add_item(scene, browser_source("Upper", "https://x.example/ALERTS/1"));
	standin::add_item(scene, browser_source("No slash", "https://x.example/alerts"));
	standin::add_item(scene, standin::create_source("text_source", "Plain"));
	standin::add_item(scene, duplicate);
	obs_source_t *other_scene = standin::create_scene("Other");
	standin::add_item(other_scene, duplicate);
	standin::add_item(scene, own_alerts);

	pass();
	EXPECT_EQ(standin::item_names(scene), (std::vector<std::string>{"Brivora Alerts", "Upper", "No slash", "Plain",
									 "Brivora Alerts", signature_name}));
	EXPECT_EQ(standin::item_names(other_scene), std::vector<std::string>{"Stream Alerts"});
	auto lines = module_log_lines();
	EXPECT_EQ(std::count(lines.begin(), lines.end(), removal_line("Stream Alerts")), 2);
	for (const auto &line : standin::logs()) {
		if (line.text == removal_line("Stream Alerts")) {
			EXPECT_EQ(line.level, LOG_INFO);
		}
	}
}

TEST_F(HostTest, WithTheSlugAlertsTheSignatureStays)
{
	standin::add_item(scene, browser_source("Widget", base_url + "/alerts"));
	for (int i = 0; i < 2; ++i) {
		standin::clear_logs();
		pass();
		EXPECT_EQ(module_log_lines(), std::vector<std::string>{});
		EXPECT_EQ(standin::item_names(scene), (std::vector<std::string>{"Widget", signature_name}));
	}
	EXPECT_EQ(signature_setting_url(), base_url + "/alerts/widgets/signature/");
}

TEST_F(HostTest, DocksAreRepairedOnceAndKeptAtUnload)
{
	write_user_ini("[General]\r\nLanguage=en-US\r\n[BasicWindow]\r\n"
		       "ExtraBrowserDocks=[{\"url\":\"" +
		       base_url + "/streamer/live-dock/?widgetToken=abc\"}]\r\nGeometry=AAA\r\n");
	chmod(user_ini().c_str(), 0640);
	pass();
	const std::string repaired = "[General]\nLanguage=en-US\n[BasicWindow]\n" + expected_docks("streamer", "abc") +
				     "\nGeometry=AAA\n";
	EXPECT_EQ(read_user_ini(), repaired);
	struct stat st;
	ASSERT_EQ(stat(user_ini().c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 0777, 0640u);
	EXPECT_EQ(module_log_lines().back(), docks_updated);
	EXPECT_FALSE(std::filesystem::exists(user_ini().string() + ".brivora.tmp"));
	EXPECT_FALSE(std::filesystem::exists(user_ini().string() + ".brivora.bak"));

	standin::clear_logs();
	pass();
	EXPECT_TRUE(module_log_lines().empty()) << "nothing to repair the second time";

	// The host rewrites user.ini from memory at exit; the repair at unload puts the line back.
	write_user_ini("[BasicWindow]\nGeometry=AAA\n");
	unload();
	EXPECT_EQ(read_user_ini(), "[BasicWindow]\nGeometry=AAA\n" + expected_docks("streamer", "abc") + "\n");
	auto lines = module_log_lines();
	ASSERT_GE(lines.size(), 2u);
	EXPECT_EQ(lines[lines.size() - 2], docks_updated);
	EXPECT_EQ(lines.back(), "[brivora-signature-guard] Brivora Rurozezod Ivuri unloaded");
}

TEST_F(HostTest, DocksAreLeftAloneWithoutTokenOrUserIni)
{
	write_user_ini("[BasicWindow]\nExtraBrowserDocks=[]\n");
	standin::add_item(scene, browser_source("Widget", base_url + "/streamer/widgets/x/"));
	pass();
	EXPECT_EQ(read_user_ini(), "[BasicWindow]\nExtraBrowserDocks=[]\n") << "no token known";

	std::filesystem::remove(user_ini());
	standin::add_item(scene, browser_source("Keyed", base_url + "/streamer/x/?widgetToken=abc"));
	pass();
	unload();
	EXPECT_FALSE(std::filesystem::exists(user_ini()));
	EXPECT_FALSE(std::filesystem::exists(user_ini().string() + ".brivora.tmp"));
	for (const auto &line : module_log_lines())
		EXPECT_EQ(line.find("docks"), std::string::npos) << line;
}

TEST_F(HostTest, ALeftoverBackupIsPutBackBeforeTheRepair)
{
	standin::add_item(scene, browser_source("Keyed", base_url + "/streamer/x/?widgetToken=abc"));
	std::ofstream(user_ini().string() + ".brivora.bak") << "[General]\nKeep=1\n";
	pass();
	EXPECT_EQ(read_user_ini(), "[General]\nKeep=1\n\n[BasicWindow]\n" + expected_docks("streamer", "abc") + "\n");
	EXPECT_FALSE(std::filesystem::exists(user_ini().string() + ".brivora.bak"));
}

TEST_F(HostTest, AFailedSwapKeepsUserIniAndWarns)
{
	const std::string before = "[BasicWindow]\nExtraBrowserDocks=old\n";
	write_user_ini(before);
	standin::add_item(scene, browser_source("Keyed", base_url + "/streamer/x/?widgetToken=abc"));
	// A full disk: the rewritten file cannot be written whole.
	signal(SIGXFSZ, SIG_IGN);
	rlimit unlimited{};
	ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
	const rlimit small{before.size(), unlimited.rlim_max};
	ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
	pass();
	ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &unlimited), 0);
	EXPECT_EQ(read_user_ini(), before);
	EXPECT_FALSE(std::filesystem::exists(user_ini().string() + ".brivora.tmp"));
	EXPECT_TRUE(standin::log_contains(
		"[brivora-signature-guard] Brivora: OBS docks update failed. Close OBS and run the installer as administrator.",
		LOG_WARNING));
}
