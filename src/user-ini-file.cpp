// SPDX-License-Identifier: GPL-2.0-or-later
#include "user-ini-file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class file_descriptor {
public:
	explicit file_descriptor(int fd) : fd_(fd) {}
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

enum class temporary_write { written, not_created, failed };

temporary_write write_temporary_file(const char *tmp_path, std::string_view content, mode_t mode)
{
	// Never through a planted link, and never waiting on a planted pipe.
	file_descriptor fd(::open(tmp_path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600));
	struct stat st;
	if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
		return temporary_write::not_created;
	// The file holds the widget token: never more open than the file it replaces.
	bool ok = ::fchmod(fd.get(), mode & 07777) == 0;
	ok = ok && write_all(fd.get(), content);
	ok = ok && ::fsync(fd.get()) == 0;
	ok = fd.close() && ok;
	return ok ? temporary_write::written : temporary_write::failed;
}

} // namespace

file_read read_file_text(const char *path, std::string &content)
{
	content.clear();
	// Non-blocking, so that a named pipe or a device cannot hold the UI
	// thread in open(); only a regular file is read.
	file_descriptor fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
	if (!fd.valid())
		return errno == ENOENT ? file_read::missing : file_read::failed;

	struct stat st;
	if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
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
	return file_read::ok;
}

bool restore_leftover_backup(const char *path, const char *bak_path)
{
	if (exists(path) || !exists(bak_path))
		return false;
	if (std::rename(bak_path, path) != 0)
		return false;
	sync_parent_directory(path);
	return true;
}

file_replace replace_file(const char *path, const char *tmp_path, std::string_view content)
{
	struct stat st;
	if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode))
		return file_replace::not_started;

	switch (write_temporary_file(tmp_path, content, st.st_mode)) {
	case temporary_write::not_created:
		return file_replace::not_started;
	case temporary_write::failed:
		std::remove(tmp_path);
		return file_replace::failed;
	case temporary_write::written:
		break;
	}

	// One atomic step: at every moment `path` is either the old or the new file.
	if (std::rename(tmp_path, path) != 0) {
		std::remove(tmp_path);
		return file_replace::failed;
	}
	sync_parent_directory(path);
	return file_replace::replaced;
}
