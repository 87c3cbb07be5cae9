// SPDX-License-Identifier: GPL-2.0-or-later
#include "user-ini/safe-file.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

class file_descriptor {
public:
	explicit file_descriptor(int fd) : fd_(fd) {}
	file_descriptor(file_descriptor &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
	file_descriptor(const file_descriptor &) = delete;
	file_descriptor &operator=(const file_descriptor &) = delete;
	~file_descriptor()
	{
		if (fd_ >= 0)
			::close(fd_);
	}
	int get() const { return fd_; }
	bool valid() const { return fd_ >= 0; }
	// Closes now and reports whether the close succeeded: a failed close can
	// be the first sign of data that never reached the disk.
	bool close()
	{
		int fd = fd_;
		fd_ = -1;
		return ::close(fd) == 0;
	}

private:
	int fd_;
};

bool write_all(int fd, std::string_view data)
{
	while (!data.empty()) {
		ssize_t n = ::write(fd, data.data(), data.size());
		if (n < 0) {
			if (errno == EINTR)
				continue;
			return false;
		}
		if (n == 0)
			return false;
		data.remove_prefix(static_cast<size_t>(n));
	}
	return true;
}

bool exists(const char *path)
{
	struct stat st;
	return ::lstat(path, &st) == 0;
}

// Makes a rename durable. No allocation: it runs after the file is in place.
void sync_parent_directory(const char *path)
{
	char dir[PATH_MAX];
	const char *slash = std::strrchr(path, '/');
	if (!slash)
		std::snprintf(dir, sizeof(dir), ".");
	else if (slash == path)
		std::snprintf(dir, sizeof(dir), "/");
	else if (static_cast<size_t>(slash - path) < sizeof(dir))
		std::snprintf(dir, sizeof(dir), "%.*s", static_cast<int>(slash - path), path);
	else
		return;
	file_descriptor fd(::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
	if (fd.valid())
		::fsync(fd.get());
}

uint64_t random_bits()
{
	uint64_t bits = 0;
	if (::getrandom(&bits, sizeof(bits), GRND_NONBLOCK) == static_cast<ssize_t>(sizeof(bits)))
		return bits;
	// No entropy yet (early boot): the time and a counter still tell this
	// attempt from the last; O_EXCL keeps two writers apart in any case.
	static std::atomic<uint64_t> counter{0};
	timespec now{};
	::clock_gettime(CLOCK_MONOTONIC, &now);
	return static_cast<uint64_t>(now.tv_nsec) * 0x9e3779b97f4a7c15ull ^ static_cast<uint64_t>(now.tv_sec) ^
	       counter.fetch_add(1) << 48;
}

// A new file of this writer's own beside `path`; its name goes to `tmp_path`.
// Never through a planted link, and never waiting on a planted pipe.
file_descriptor create_temporary_file(const char *path, std::string &tmp_path)
{
	for (int attempt = 0; attempt < 8; ++attempt) {
		char name[64];
		std::snprintf(name, sizeof(name), ".brivora-%ld-%016llx.tmp", static_cast<long>(::getpid()),
			      static_cast<unsigned long long>(random_bits()));
		tmp_path.assign(path).append(name);
		file_descriptor fd(::open(tmp_path.c_str(),
					  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
		if (fd.valid() || errno != EEXIST)
			return fd;
	}
	return file_descriptor(-1);
}

// Writes the temporary file whole and flushes it to disk.
bool write_temporary_file(file_descriptor &fd, std::string_view content, mode_t mode)
{
	// The file holds the widget token: never more open than the file it replaces.
	bool ok = ::fchmod(fd.get(), mode & 07777) == 0;
	ok = ok && write_all(fd.get(), content);
	ok = ok && ::fsync(fd.get()) == 0;
	return fd.close() && ok;
}

file_identity identity_of(const struct stat &st)
{
	file_identity id;
	id.device = st.st_dev;
	id.inode = st.st_ino;
	id.size = st.st_size;
	id.modified_s = st.st_mtim.tv_sec;
	id.modified_ns = st.st_mtim.tv_nsec;
	id.changed_s = st.st_ctim.tv_sec;
	id.changed_ns = st.st_ctim.tv_nsec;
	return id;
}

} // namespace

bool current_file_identity(const char *path, file_identity &identity)
{
	struct stat st;
	if (::stat(path, &st) != 0)
		return false;
	identity = identity_of(st);
	return true;
}

file_read read_file_text(const char *path, std::string &content, size_t max_size, file_identity *identity)
{
	content.clear();
	// Non-blocking, so that a named pipe or a device cannot hold the UI
	// thread in open(); only a regular file is read.
	file_descriptor fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
	if (!fd.valid())
		return errno == ENOENT ? file_read::missing : file_read::failed;

	struct stat st;
	if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) > max_size)
		return file_read::failed;

	try {
		content.resize(static_cast<size_t>(st.st_size));
	} catch (...) {
		content.clear();
		return file_read::failed;
	}

	size_t got = 0;
	while (got < content.size()) {
		ssize_t n = ::read(fd.get(), content.data() + got, content.size() - got);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			break;
		got += static_cast<size_t>(n);
	}
	if (got != content.size()) {
		content.clear();
		return file_read::failed;
	}
	if (identity)
		*identity = identity_of(st);
	return file_read::ok;
}

bool restore_leftover_backup(const char *path, const char *bak_path)
{
	if (exists(path) || !exists(bak_path))
		return false;
	// Never over a user.ini the host creates in the meantime.
	if (::renameat2(AT_FDCWD, bak_path, AT_FDCWD, path, RENAME_NOREPLACE) != 0) {
		if (errno != EINVAL && errno != ENOSYS)
			return false;
		// A file system without that flag: a second name, then the old one goes.
		if (::link(bak_path, path) != 0)
			return false;
		::unlink(bak_path);
	}
	sync_parent_directory(path);
	return true;
}

file_replace replace_file(const char *path, std::string_view content)
{
	struct stat st;
	if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode))
		return file_replace::not_started;

	std::string tmp_path;
	file_descriptor fd = create_temporary_file(path, tmp_path);
	if (!fd.valid())
		return file_replace::failed;
	// One atomic step: at every moment `path` is either the old or the new file.
	if (!write_temporary_file(fd, content, st.st_mode) || std::rename(tmp_path.c_str(), path) != 0) {
		std::remove(tmp_path.c_str());
		return file_replace::failed;
	}
	sync_parent_directory(path);
	return file_replace::replaced;
}
