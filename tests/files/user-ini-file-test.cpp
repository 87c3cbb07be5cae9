// SPDX-License-Identifier: GPL-2.0-or-later
// Whole-file reads and the atomic replacement of user.ini, with deterministic
// faults. The tests run as root, so faults come from a file size limit, wrong
// file types in the way, or the wrapped calls below (linked with -Wl,--wrap),
// which also record every rename and removal the file layer makes.

#include "user-ini-file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Bit n set: call number n (from 0) of rename(), fsync() or close() fails
// with EIO (close() still closes).
unsigned rename_fail_mask = 0, fsync_fail_mask = 0, close_fail_mask = 0;
int rename_calls = 0, fsync_calls = 0, close_calls = 0;

bool fails(unsigned mask, int &calls)
{
	const int call = calls++;
	if (call < 32 && (mask >> call & 1u)) {
		errno = EIO;
		return true;
	}
	return false;
}

// Every rename and removal, in order, with file names only.
std::vector<std::string> file_changes;

std::string file_name(const char *path)
{
	const char *slash = std::strrchr(path, '/');
	return slash ? slash + 1 : path;
}

enum class read_fault { none, interrupted_once, io_error, early_end, small_chunks };
read_fault read_mode = read_fault::none;
int read_calls = 0;

} // namespace

extern "C" int __real_rename(const char *from, const char *to);
extern "C" int __wrap_rename(const char *from, const char *to)
{
	file_changes.push_back("rename " + file_name(from) + " " + file_name(to));
	return fails(rename_fail_mask, rename_calls) ? -1 : __real_rename(from, to);
}

extern "C" int __real_remove(const char *path);
extern "C" int __wrap_remove(const char *path)
{
	file_changes.push_back("remove " + file_name(path));
	return __real_remove(path);
}

extern "C" int __real_fsync(int fd);
extern "C" int __wrap_fsync(int fd)
{
	return fails(fsync_fail_mask, fsync_calls) ? -1 : __real_fsync(fd);
}

extern "C" int __real_close(int fd);
extern "C" int __wrap_close(int fd)
{
	const int closed = __real_close(fd);
	return fails(close_fail_mask, close_calls) ? -1 : closed;
}

extern "C" ssize_t __real_read(int fd, void *buf, size_t count);
extern "C" ssize_t __wrap_read(int fd, void *buf, size_t count)
{
	const int call = read_calls++;
	switch (read_mode) {
	case read_fault::none:
		break;
	case read_fault::interrupted_once:
		if (call == 0) {
			errno = EINTR;
			return -1;
		}
		break;
	case read_fault::io_error:
		errno = EIO;
		return -1;
	case read_fault::early_end: // the file shrinks while it is read
		return call == 0 ? __real_read(fd, buf, count < 3 ? count : 3) : 0;
	case read_fault::small_chunks:
		return __real_read(fd, buf, count < 7 ? count : 7);
	}
	return __real_read(fd, buf, count);
}

namespace {

namespace fs = std::filesystem;
using namespace std::literals;

const std::string original = "[BasicWindow]\r\nExtraBrowserDocks=[old]\r\n\0tail"s;
const std::string updated = "[BasicWindow]\nExtraBrowserDocks=[new]\n\0\xff"s;

class UserIniFile : public ::testing::Test {
protected:
	void SetUp() override
	{
		std::string tmpl = (fs::temp_directory_path() / "brivora-files-XXXXXX").string();
		ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
		dir = tmpl;
		ini = (dir / "user.ini").string();
		tmp = ini + ".brivora.tmp";
		bak = ini + ".brivora.bak";
	}
	void TearDown() override
	{
		fail_renames(0);
		read_mode = read_fault::none;
		fs::remove_all(dir);
	}
	static void fail_renames(unsigned mask) { fail_calls(mask, 0, 0); }
	static void fail_calls(unsigned renames, unsigned fsyncs, unsigned closes)
	{
		rename_fail_mask = renames;
		fsync_fail_mask = fsyncs;
		close_fail_mask = closes;
		rename_calls = fsync_calls = close_calls = 0;
		file_changes.clear();
	}
	file_replace replace() { return replace(tmp); }
	file_replace replace(const std::string &tmp_path)
	{
		return replace_file(ini.c_str(), tmp_path.c_str(), updated);
	}

	static void put(const std::string &path, const std::string &content, mode_t mode = 0640)
	{
		std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
		ASSERT_EQ(::chmod(path.c_str(), mode), 0);
	}
	static std::string get(const std::string &path)
	{
		std::ifstream in(path, std::ios::binary);
		return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
	}
	static bool exists(const std::string &path) { return fs::exists(fs::symlink_status(path)); }
	static mode_t mode_of(const std::string &path)
	{
		return static_cast<mode_t>(fs::status(path).permissions());
	}
	// The state every fault must leave behind.
	void expect_untouched()
	{
		EXPECT_EQ(get(ini), original);
		EXPECT_FALSE(exists(tmp));
		EXPECT_FALSE(exists(bak));
	}

	fs::path dir;
	std::string ini, tmp, bak;
};

TEST_F(UserIniFile, ReadsWholeFileOrReportsWhy)
{
	struct row {
		const char *name;
		read_fault fault;
		file_read want;
	} rows[] = {
		{"plain", read_fault::none, file_read::ok},
		{"interrupted", read_fault::interrupted_once, file_read::ok},
		{"small chunks", read_fault::small_chunks, file_read::ok},
		{"i/o error", read_fault::io_error, file_read::failed},
		{"shrinks", read_fault::early_end, file_read::failed},
	};
	put(ini, original);
	for (const row &r : rows) {
		read_mode = r.fault;
		read_calls = 0;
		std::string content = "stale";
		EXPECT_EQ(read_file_text(ini.c_str(), content), r.want) << r.name;
		EXPECT_EQ(content, r.want == file_read::ok ? original : "") << r.name;
	}
	read_mode = read_fault::none;

	std::string content = "stale";
	EXPECT_EQ(read_file_text((dir / "absent.ini").c_str(), content), file_read::missing);
	EXPECT_EQ(content, "");
	put(ini, "");
	EXPECT_EQ(read_file_text(ini.c_str(), content), file_read::ok);
	EXPECT_EQ(content, "");
	// Present but not a readable regular file.
	// Present but not a readable regular file; a pipe without a writer
	// must not block the open.
	fs::create_directory(dir / "folder.ini");
	fs::create_symlink("loop.ini", dir / "loop.ini");
	fs::create_symlink("/dev/null", dir / "null.ini");
	ASSERT_EQ(::mkfifo((dir / "fifo.ini").c_str(), 0600), 0);
	::alarm(10);
	for (const char *name : {"folder.ini", "loop.ini", "null.ini", "fifo.ini"})
		EXPECT_EQ(read_file_text((dir / name).c_str(), content), file_read::failed) << name;
	::alarm(0);
}

TEST_F(UserIniFile, ReplacementKeepsPermissionBits)
{
	for (mode_t mode : {0600, 0640, 0644}) {
		put(ini, original, mode);
		put(bak, "leftover backup");
		put(tmp, std::string(500, 'x'), 0666); // a longer leftover must not show through
		ASSERT_EQ(replace(), file_replace::replaced);
		EXPECT_EQ(get(ini), updated);
		EXPECT_EQ(mode_of(ini), mode) << std::oct << mode;
		EXPECT_FALSE(exists(tmp));
		EXPECT_EQ(get(bak), "leftover backup") << "a backup is never removed";
	}
}

TEST_F(UserIniFile, NothingStartsWithoutFileOrTemporaryFile)
{
	EXPECT_EQ(replace(), file_replace::not_started);
	EXPECT_TRUE(fs::is_empty(dir));

	put(ini, original);
	EXPECT_EQ(replace((dir / "missing-folder" / "user.ini.brivora.tmp").string()), file_replace::not_started);
	expect_untouched();
	EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

	// A link planted at the temporary file's name is never written through,
	// and a pipe there never waited on.
	put((dir / "victim").string(), "victim");
	fs::create_symlink(dir / "victim", tmp);
	EXPECT_EQ(replace(), file_replace::not_started);
	EXPECT_EQ(get((dir / "victim").string()), "victim");
	EXPECT_TRUE(fs::is_symlink(tmp));
	fs::remove(tmp);
	ASSERT_EQ(::mkfifo(tmp.c_str(), 0600), 0);
	::alarm(10);
	EXPECT_EQ(replace(), file_replace::not_started);
	fs::remove(tmp);

	// Something else than a regular file at user.ini's path is never replaced.
	fs::remove(ini);
	ASSERT_EQ(::mkfifo(ini.c_str(), 0600), 0);
	EXPECT_EQ(replace(), file_replace::not_started);
	::alarm(0);
	EXPECT_TRUE(fs::is_fifo(ini));
	EXPECT_FALSE(exists(tmp));
}

TEST_F(UserIniFile, FullDiskDuringWriteLeavesFileAlone)
{
	put(ini, original);
	const pid_t child = ::fork();
	ASSERT_GE(child, 0);
	if (child == 0) {
		::signal(SIGXFSZ, SIG_IGN);
		const rlimit limit{64, 64};
		if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
			::_exit(100);
		::_exit(static_cast<int>(replace_file(ini.c_str(), tmp.c_str(), std::string(4096, 'n'))));
	}
	int status = 0;
	ASSERT_EQ(::waitpid(child, &status, 0), child);
	ASSERT_TRUE(WIFEXITED(status));
	EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(file_replace::failed));
	expect_untouched();
}

TEST_F(UserIniFile, UserIniIsNeverAbsentAndABackupNeverRemoved)
{
	put(ini, original, 0600);
	put(bak, "leftover backup");
	fail_calls(0, 0, 0);
	ASSERT_EQ(replace(), file_replace::replaced);
	EXPECT_EQ(file_changes, std::vector<std::string>{"rename user.ini.brivora.tmp user.ini"});
	EXPECT_EQ(get(ini), updated);
	EXPECT_EQ(get(bak), "leftover backup");
}

TEST_F(UserIniFile, FailedWriteOrRenameLeavesFileAsItWas)
{
	struct row {
		const char *what;
		unsigned renames, fsyncs, closes;
		std::vector<std::string> changes;
	} rows[] = {
		{"fsync of the temporary file", 0, 0b1, 0, {"remove user.ini.brivora.tmp"}},
		{"close of the temporary file", 0, 0, 0b1, {"remove user.ini.brivora.tmp"}},
		{"rename over user.ini", 0b1, 0, 0, {"rename user.ini.brivora.tmp user.ini", "remove user.ini.brivora.tmp"}},
	};
	for (const row &r : rows) {
		put(ini, original, 0600);
		fail_calls(r.renames, r.fsyncs, r.closes);
		EXPECT_EQ(replace(), file_replace::failed) << r.what;
		EXPECT_EQ(file_changes, r.changes) << r.what;
		fail_calls(0, 0, 0);
		expect_untouched();
	}
}

TEST_F(UserIniFile, LeftoverBackupRestoredOnlyWhenFileIsAbsent)
{
	put(bak, original);
	fail_renames(0b1); // restoring fails: the backup stays
	EXPECT_FALSE(restore_leftover_backup(ini.c_str(), bak.c_str()));
	fail_renames(0);
	EXPECT_FALSE(exists(ini));
	EXPECT_EQ(get(bak), original);
	EXPECT_TRUE(restore_leftover_backup(ini.c_str(), bak.c_str()));
	EXPECT_EQ(file_changes, std::vector<std::string>{"rename user.ini.brivora.bak user.ini"});
	expect_untouched();

	put(bak, "older"); // both present: neither is touched
	fail_renames(0);
	EXPECT_FALSE(restore_leftover_backup(ini.c_str(), bak.c_str()));
	EXPECT_EQ(file_changes, std::vector<std::string>{});
	EXPECT_EQ(get(ini), original);
	EXPECT_EQ(get(bak), "older");

	fs::remove(ini); // neither present: nothing appears
	fs::remove(bak);
	EXPECT_FALSE(restore_leftover_backup(ini.c_str(), bak.c_str()));
	EXPECT_TRUE(fs::is_empty(dir));
}

} // namespace
