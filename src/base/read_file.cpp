#include "base/read_file.h"

#include "base/unique_fd.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace recursor {

namespace {

    FileError fileErrorOfErrno(int error_number)
    {
        switch (error_number) {
        case ENOENT:
        case ENOTDIR:
            return FileError::FileNotFound;
        case EACCES:
        case EPERM:
            return FileError::AccessDenied;
        case EISDIR:
            return FileError::IsDir;
        case ENOMEM:
            return FileError::OutOfMemory;
        default:
            return FileError::ReadFailed;
        }
    }

} // namespace

FileResult<std::string> readWholeFile(std::string_view path, std::size_t max_size)
{
    // open() would stop at an embedded NUL and read a different file than the one named.
    if (path.find('\0') != std::string_view::npos)
        return std::unexpected(FileError::FileNotFound);
    try {
        UniqueFd file(::open(std::string(path).c_str(), O_RDONLY | O_CLOEXEC));
        if (!file.valid())
            return std::unexpected(fileErrorOfErrno(errno));
        // Linux opens directories read-only without complaint; only the read would fail.
        struct stat status { };
        if (::fstat(file.get(), &status) == 0 && S_ISDIR(status.st_mode))
            return std::unexpected(FileError::IsDir);

        std::string text;
        std::array<char, 64 * 1024> chunk;
        while (true) {
            ssize_t n = ::read(file.get(), chunk.data(), chunk.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return std::unexpected(fileErrorOfErrno(errno));
            if (n == 0)
                return text;
            if (text.size() + static_cast<std::size_t>(n) > max_size)
                return std::unexpected(FileError::StreamTooLong);
            text.append(chunk.data(), static_cast<std::size_t>(n));
        }
    } catch (const std::bad_alloc&) {
        return std::unexpected(FileError::OutOfMemory);
    }
}

} // namespace recursor
