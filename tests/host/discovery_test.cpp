// SPDX-License-Identifier: GPL-2.0-or-later
#include "host_fixture.hpp"

namespace {

std::string dock_list_line(const std::string &slug, const std::string &token)
{
	return "ExtraBrowserDocks=[{\"title\":\"Live\",\"url\":\"" + base_url + "/" + slug +
	       "/live-dock/?dock=1&pluginVersion=1.0.0&widgetToken=" + token + "\",\"uuid\":\"x\"}]";
}

std::string signature_for(const std::string &slug, const std::string &token)
{
	return base_url + "/" + slug + "/widgets/signature/?widgetToken=" + token;
}

} // namespace

TEST_F(HostTest, UserIniWinsOverTheSceneWithinAPass)
{
	write_user_ini("[General]\nName=x\r\n[BasicWindow]\r\n" + dock_list_line("ini-slug", "ini-token") + "\r\n");
	standin::add_item(scene, browser_source("Widget", signature_for("scene-slug", "scene-token")));
	pass();
	EXPECT_EQ(signature_setting_url(), signature_for("ini-slug", "ini-token"));
}

TEST_F(HostTest, TheSceneFillsWhatUserIniLacks)
{
	// No user.ini at all: the scene alone gives both; the URL carries no line end.
	standin::add_item(scene, standin::create_source("color_source", "Background"));
	standin::add_item(scene, browser_source("Widget", signature_for("scene-slug", "scene-token")));
	pass();
	EXPECT_EQ(signature_setting_url(), signature_for("scene-slug", "scene-token"));
	EXPECT_FALSE(std::filesystem::exists(user_ini())) << "user.ini is the host's to create";
}

TEST_F(HostTest, FirstValuesFoundStayAcrossPasses)
{
	standin::add_item(scene, browser_source("Widget", signature_for("first", "token-1")));
	pass();
	write_user_ini("[BasicWindow]\n" + dock_list_line("second", "token-2") + "\n");
	pass();
	EXPECT_EQ(signature_setting_url(), signature_for("first", "token-1"));
}

TEST_F(HostTest, ASlugWithoutTokenIsLearntAndTheTokenFollowsLater)
{
	standin::add_item(scene, browser_source("Widget", base_url + "/only-slug/widgets/chat/"));
	pass();
	EXPECT_EQ(signature_setting_url(), base_url + "/only-slug/widgets/signature/");
	write_user_ini("[General]\nWidget=" + base_url + "/only-slug/x?widgettoken=late\n");
	pass();
	EXPECT_EQ(signature_setting_url(), signature_for("only-slug", "late"));
}

TEST_F(HostTest, TheSignatureSourceOfAnEarlierRunGivesItsContextBack)
{
	obs_source_t *earlier = browser_source(signature_name, signature_for("returning", "kept-token"));
	standin::add_item(scene, earlier);
	pass();
	EXPECT_EQ(signature_setting_url(), signature_for("returning", "kept-token"));
	EXPECT_EQ(standin::update_count(earlier), 1) << "width and the rest were still missing";
	pass();
	EXPECT_EQ(standin::update_count(earlier), 1);
}

TEST_F(HostTest, UserIniLinesWithoutATokenKeyGiveNoSlug)
{
	write_user_ini("[General]\nHome=" + base_url + "/no-key-here/\n[Other]\nx=" + base_url +
		       "/keyed/x?token=&a=1\n");
	pass();
	EXPECT_EQ(signature_setting_url(), base_url + "/keyed/widgets/signature/");
}

TEST_F(HostTest, ALongUserIniLineIsReadInPieces)
{
	// The token starts 10 characters before the end of the first 8191-byte piece.
	std::string line = "x=" + base_url + "/pieces/?pad=";
	line += std::string(8191 - line.size() - 10 - 12, 'a');
	line += "widgetToken=0123456789ABCDEF";
	write_user_ini(line + "\n");
	pass();
	EXPECT_EQ(signature_setting_url(), base_url + "/pieces/widgets/signature/?widgetToken=0123456789");
}

TEST_F(HostTest, AMarkerBeyondTheFirst1023UrlCharactersIsNotSeen)
{
	std::string url = "https://x.example/?pad=" + std::string(1000, 'p');
	standin::add_item(scene, browser_source("Far", url + "/brivora/far/?widgetToken=far"));
	pass();
	EXPECT_EQ(signature_setting_url(), base_url + "/dravelo/widgets/signature/");
}
