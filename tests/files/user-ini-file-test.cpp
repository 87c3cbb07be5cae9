// SPDX-License-Identifier: GPL-2.0-or-later
// Whole-file reads and the atomic replacement of user.ini, with deterministic
// faults. The tests run as root, so faults come from resource limits, wrong
// file types in the way, or the wrapped calls below (linked with -Wl,--wrap),
// which also record every rename, removal and flush the file layer makes.

#include "user-ini/safe-file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <signal.h>
#include <thread>
#include <ctime>
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

// Every rename, removal and flush, in order, with file names only; a
// temporary file's name is shown as "<tmp>".
std::vector<std::string> file_changes;

std::string file_name(const char *path)
{
	const char *slash = std::strrchr(path, '/');
	const std::string name = slash ? slash + 1 : path;
	return name.find(".brivora-") != std::string::npos && name.ends_with(".tmp") ? "<tmp>" : name;
}

// renameat2: runs first (a file appearing at the last moment), and whether
// the file system knows the flag.
std::function<void()> before_renameat2;
bool renameat2_unsupported = false;

// getrandom: the values the temporary file names take next, while any.
std::vector<uint64_t> forced_random;

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

extern "C" int __real_renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned flags);
extern "C" int __wrap_renameat2(int from_dir, const char *from, int to_dir, const char *to, unsigned flags)
{
	file_changes.push_back("renameat2 " + file_name(from) + " " + file_name(to));
	if (before_renameat2)
		before_renameat2();
	if (renameat2_unsupported) {
		errno = EINVAL;
		return -1;
	}
	return fails(rename_fail_mask, rename_calls) ? -1 : __real_renameat2(from_dir, from, to_dir, to, flags);
}

extern "C" int __real_fsync(int fd);
extern "C" int __wrap_fsync(int fd)
{
	struct stat st;
	file_changes.push_back(::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) ? "fsync folder" : "fsync file");
	return fails(fsync_fail_mask, fsync_calls) ? -1 : __real_fsync(fd);
}

extern "C" int __real_close(int fd);
extern "C" int __wrap_close(int fd)
{
	const int closed = __real_close(fd);
	return fails(close_fail_mask, close_calls) ? -1 : closed;
}

extern "C" ssize_t __real_getrandom(void *buf, size_t length, unsigned flags);
extern "C" ssize_t __wrap_getrandom(void *buf, size_t length, unsigned flags)
{
	if (forced_random.empty() || length != sizeof(uint64_t))
		return __real_getrandom(buf, length, flags);
	std::memcpy(buf, &forced_random.front(), length);
	forced_random.erase(forced_random.begin());
	return static_cast<ssize_t>(length);
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
		bak = ini + ".brivora.bak";
	}
	void TearDown() override
	{
		fail_renames(0);
		read_mode = read_fault::none;
		before_renameat2 = nullptr;
		renameat2_unsupported = false;
		forced_random.clear();
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
	file_replace replace() { return replace_file(ini.c_str(), updated); }
	// The names in the folder: after any replacement, user.ini alone.
	std::vector<std::string> names() const
	{
		std::vector<std::string> found;
		for (const auto &entry : fs::directory_iterator(dir))
			found.push_back(entry.path().filename().string());
		std::sort(found.begin(), found.end());
		return found;
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
	static mode_t mode_of(const std::string &path) { return static_cast<mode_t>(fs::status(path).permissions()); }
	// The state every fault must leave behind.
	void expect_untouched()
	{
		EXPECT_EQ(get(ini), original);
		EXPECT_EQ(names(), std::vector<std::string>{"user.ini"});
	}

	fs::path dir;
	std::string ini, bak;
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
		EXPECT_EQ(read_file_text(ini.c_str(), content, original.size()), r.want) << r.name;
		EXPECT_EQ(content, r.want == file_read::ok ? original : "") << r.name;
	}
	read_mode = read_fault::none;

	// A file over the size limit is not read at all.
	std::string content = "stale";
	read_calls = 0;
	EXPECT_EQ(read_file_text(ini.c_str(), content, original.size() - 1), file_read::failed);
	EXPECT_EQ(read_calls, 0);

	content = "stale";
	EXPECT_EQ(read_file_text((dir / "absent.ini").c_str(), content, 100), file_read::missing);
	EXPECT_EQ(content, "");
	put(ini, "");
	EXPECT_EQ(read_file_text(ini.c_str(), content, 100), file_read::ok);
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
		EXPECT_EQ(read_file_text((dir / name).c_str(), content, 100), file_read::failed) << name;
	::alarm(0);
}

// A pass skips reading user.ini while its identity stays the one it read.
TEST_F(UserIniFile, IdentityChangesWithEveryChangeToTheFile)
{
	put(ini, original);
	std::string content;
	file_identity as_read, now;
	ASSERT_EQ(read_file_text(ini.c_str(), content, 100, &as_read), file_read::ok);
	ASSERT_TRUE(current_file_identity(ini.c_str(), now));
	EXPECT_EQ(now, as_read);

	auto changed = [&](const char *what) {
		file_identity after;
		ASSERT_TRUE(current_file_identity(ini.c_str(), after)) << what;
		EXPECT_NE(after, as_read) << what;
		as_read = after;
	};
	// Same size and inode; the modification time moves by a nanosecond.
	struct stat st;
	ASSERT_EQ(::stat(ini.c_str(), &st), 0);
	timespec times[2] = {st.st_atim, st.st_mtim};
	times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;
	ASSERT_EQ(::utimensat(AT_FDCWD, ini.c_str(), times, 0), 0);
	changed("modification time");
	std::ofstream(ini, std::ios::binary | std::ios::app) << "x";
	changed("size");
	ASSERT_EQ(replace(), file_replace::replaced);
	changed("replaced");
	// A change of mode alone moves the change time only, once the coarse
	// clock the kernel stamps it with has moved on.
	ASSERT_EQ(::stat(ini.c_str(), &st), 0);
	for (timespec now{}; ::clock_gettime(CLOCK_REALTIME_COARSE, &now) == 0 && now.tv_sec == st.st_ctim.tv_sec &&
			     now.tv_nsec == st.st_ctim.tv_nsec;)
		std::this_thread::yield();
	ASSERT_EQ(::chmod(ini.c_str(), 0600), 0);
	changed("mode");
	EXPECT_FALSE(current_file_identity((dir / "absent.ini").c_str(), now));
}

TEST_F(UserIniFile, ReplacementKeepsPermissionBits)
{
	for (mode_t mode : {0600, 0640, 0644}) {
		put(ini, original, mode);
		put(bak, "leftover backup");
		ASSERT_EQ(replace(), file_replace::replaced);
		EXPECT_EQ(get(ini), updated);
		EXPECT_EQ(mode_of(ini), mode) << std::oct << mode;
		EXPECT_EQ(names(), (std::vector<std::string>{"user.ini", "user.ini.brivora.bak"}));
		EXPECT_EQ(get(bak), "leftover backup") << "a backup is never removed";
	}
}

// A file or a link already at a temporary name is never written through: the
// next name is taken.
TEST_F(UserIniFile, WhatStandsAtATemporaryNameIsLeftAlone)
{
	put(ini, original);
	const auto temporary = [&](uint64_t bits) {
		char name[64];
		std::snprintf(name, sizeof(name), ".brivora-%ld-%016llx.tmp", static_cast<long>(::getpid()),
			      static_cast<unsigned long long>(bits));
		return ini + name;
	};
	const std::string victim = (dir / "victim").string();
	put(temporary(1), "planted");
	put(victim, "victim");
	fs::create_symlink(victim, temporary(2));
	fs::create_symlink(dir / "absent", temporary(3));
	forced_random = {1, 2, 3, 4};
	ASSERT_EQ(replace(), file_replace::replaced);
	EXPECT_EQ(get(ini), updated);
	EXPECT_EQ(get(temporary(1)), "planted");
	EXPECT_EQ(get(victim), "victim");
	EXPECT_FALSE(exists((dir / "absent").string()));
	EXPECT_TRUE(forced_random.empty()) << "four names tried";
}

TEST_F(UserIniFile, NothingStartsWithoutARegularFile)
{
	EXPECT_EQ(replace(), file_replace::not_started);
	EXPECT_TRUE(fs::is_empty(dir));

	// Something else than a regular file at user.ini's path is never replaced.
	ASSERT_EQ(::mkfifo(ini.c_str(), 0600), 0);
	EXPECT_EQ(replace(), file_replace::not_started);
	EXPECT_TRUE(fs::is_fifo(ini));
	EXPECT_EQ(names(), std::vector<std::string>{"user.ini"});
}

// A full disk, or no temporary file to be had (a folder that is not
// writable; as root, no file descriptor left stands in for it).
TEST_F(UserIniFile, WriteOrCreationFailureLeavesFileAlone)
{
	struct row {
		const char *what;
		int resource;
		rlim_t limit;
	} rows[] = {{"full disk", RLIMIT_FSIZE, 64}, {"no temporary file", RLIMIT_NOFILE, 0}};
	for (const row &r : rows) {
		put(ini, original);
		const pid_t child = ::fork();
		ASSERT_GE(child, 0);
		if (child == 0) {
			::signal(SIGXFSZ, SIG_IGN);
			const rlimit limit{r.limit, r.limit};
			if (::setrlimit(r.resource, &limit) != 0)
				::_exit(100);
			::_exit(static_cast<int>(replace_file(ini.c_str(), std::string(4096, 'n'))));
		}
		int status = 0;
		ASSERT_EQ(::waitpid(child, &status, 0), child);
		ASSERT_TRUE(WIFEXITED(status));
		EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(file_replace::failed)) << r.what;
		expect_untouched();
	}
}

// Two OBS on one config folder: each replacement is whole, whoever wins.
TEST_F(UserIniFile, TwoProcessesNeverTearTheFile)
{
	put(ini, original);
	const std::string contents[] = {std::string(96 * 1024, 'a'), std::string(64 * 1024, 'b') + "\n"};
	pid_t writers[2];
	for (int w = 0; w < 2; ++w) {
		writers[w] = ::fork();
		ASSERT_GE(writers[w], 0);
		if (writers[w] == 0) {
			int failures = 0;
			for (int round = 0; round < 300; ++round)
				failures += replace_file(ini.c_str(), contents[w]) != file_replace::replaced;
			::_exit(failures > 100 ? 100 : failures); // how many rounds failed
		}
	}
	int reads = 0, torn = 0;
	int status[2] = {-1, -1};
	for (int running = 2; running > 0;) {
		const std::string now = get(ini);
		++reads;
		torn += now != original && now != contents[0] && now != contents[1];
		running = 0;
		for (int w = 0; w < 2; ++w)
			if (status[w] == -1 && ::waitpid(writers[w], &status[w], WNOHANG) == 0) {
				status[w] = -1;
				++running;
			}
	}
	EXPECT_EQ(torn, 0) << "of " << reads << " reads";
	for (int w = 0; w < 2; ++w) // each writer replaced the file in every round
		EXPECT_TRUE(WIFEXITED(status[w]) && WEXITSTATUS(status[w]) == 0) << "writer " << w << ": " << status[w];
	const std::string last = get(ini);
	EXPECT_TRUE(last == contents[0] || last == contents[1]);
	EXPECT_EQ(names(), std::vector<std::string>{"user.ini"});
}

TEST_F(UserIniFile, UserIniIsNeverAbsentAndABackupNeverRemoved)
{
	put(ini, original, 0600);
	put(bak, "leftover backup");
	fail_calls(0, 0, 0);
	ASSERT_EQ(replace(), file_replace::replaced);
	EXPECT_EQ(file_changes, (std::vector<std::string>{"fsync file", "rename <tmp> user.ini", "fsync folder"}));
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
		{"fsync of the temporary file", 0, 0b1, 0, {"fsync file", "remove <tmp>"}},
		{"close of the temporary file", 0, 0, 0b1, {"fsync file", "remove <tmp>"}},
		{"rename over user.ini", 0b1, 0, 0, {"fsync file", "rename <tmp> user.ini", "remove <tmp>"}},
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
	EXPECT_EQ(file_changes, (std::vector<std::string>{"renameat2 user.ini.brivora.bak user.ini", "fsync folder"}));
	expect_untouched();

	// A file system without RENAME_NOREPLACE: a link, then the old name goes.
	fs::rename(ini, bak);
	renameat2_unsupported = true;
	EXPECT_TRUE(restore_leftover_backup(ini.c_str(), bak.c_str()));
	renameat2_unsupported = false;
	expect_untouched();

	// The host creates user.ini at the last moment: its file stays.
	fs::rename(ini, bak);
	before_renameat2 = [&] {
		put(ini, "the host's");
	};
	EXPECT_FALSE(restore_leftover_backup(ini.c_str(), bak.c_str()));
	before_renameat2 = nullptr;
	EXPECT_EQ(get(ini), "the host's");
	EXPECT_EQ(get(bak), original);

	// Both present, or a dangling link at user.ini: neither is touched.
	fail_renames(0);
	EXPECT_FALSE(restore_leftover_backup(ini.c_str(), bak.c_str()));
	fs::remove(ini);
	fs::create_symlink("nowhere", ini);
	EXPECT_FALSE(restore_leftover_backup(ini.c_str(), bak.c_str()));
	EXPECT_EQ(file_changes, std::vector<std::string>{});
	EXPECT_TRUE(fs::is_symlink(ini));
	EXPECT_EQ(get(bak), original);

	fs::remove(ini); // neither present: nothing appears
	fs::remove(bak);
	EXPECT_FALSE(restore_leftover_backup(ini.c_str(), bak.c_str()));
	EXPECT_TRUE(fs::is_empty(dir));
}

} // namespace
