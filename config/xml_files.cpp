// Documents on disk: the load with its fallback to the backup, and the safe save.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "config/xml_layer.h"

namespace {

// Opened without waiting, so that a FIFO in the file's place cannot block the core.
FILE* OpenRegularFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat status {};
    FILE* file = nullptr;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) file = fdopen(fd, "rb");
    if (file == nullptr) close(fd);
    return file;
}

std::string WithErrno(const char* what) { return what + std::to_string(errno); }

std::string PrintedText(const TiXmlDocument& document) {
    TiXmlPrinter printer;
    printer.SetIndent("    ");
    printer.SetLineBreak("\n");
    document.Accept(&printer);
    return printer.Str();
}

// Writes the text into a new side file and puts it on storage before anything is renamed:
// otherwise a power cut soon after the swap can leave an empty file in place of both.
// Returns the error text, empty on success.
std::string WriteSideFile(const std::string& name, const std::string& text) {
    // Not inherited by what a plugin starts meanwhile.
    FILE* file = std::fopen(name.c_str(), "wbe");
    if (file == nullptr) return WithErrno("create error ");
    std::string error;
    const std::size_t written = std::fwrite(text.data(), 1, text.size(), file);
    if (std::ferror(file) != 0) error = WithErrno("write error ");
    // Bytes the stream still buffers fail on their way to storage, as at a close.
    if ((std::fflush(file) != 0 || fsync(fileno(file)) != 0) && error.empty())
        error = WithErrno("close error ");
    if (std::fclose(file) != 0 && error.empty()) error = WithErrno("close error ");
    if (error.empty() && written != text.size())
        error = "only wrote " + std::to_string(written) + " of " + std::to_string(text.size()) +
                " bytes";
    return error;
}

// Moves the old file aside as the backup and the side file into its place. On failure the
// side file is gone and the old file, if it had been moved, is back.
bool SwapInSideFile(const std::string& side, const std::string& path,
                    const std::string& backup) {
    bool swapped = (std::remove(backup.c_str()) == 0 || errno == ENOENT) &&
                   (std::rename(path.c_str(), backup.c_str()) == 0 || errno == ENOENT);
    if (swapped && std::rename(side.c_str(), path.c_str()) != 0) {
        swapped = false;
        std::rename(backup.c_str(), path.c_str());
    }
    if (!swapped) std::remove(side.c_str());
    return swapped;
}

// The renames are only durable once the directory that holds them is on storage.
bool SyncDirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "."
                                  : slash == 0               ? "/"
                                                             : path.substr(0, slash);
    const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    // Some file systems cannot sync a directory (EINVAL); their renames are as durable as
    // they get, and the save has not failed.
    const bool synced = fsync(fd) == 0 || errno == EINVAL;
    const int error = errno;
    close(fd);
    errno = error;
    return synced;
}

}  // namespace

bool XmlDocument::LoadFile(const std::string& path) {
    ClearError();
    SetValue(path);
    FILE* file = OpenRegularFile(path);
    if (file == nullptr) {
        SetError(TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        return false;
    }
    const bool loaded = TiXmlDocument::LoadFile(file);
    std::fclose(file);
    return loaded;
}

bool LoadDocumentWithBackup(XmlDocument& document, const std::string& path) {
    const std::string backup = path + ".bak";
    if (document.LoadFile(path)) {
        std::remove(backup.c_str());
        return true;
    }
    if (!document.LoadFile(backup)) return false;
    std::remove(path.c_str());
    std::rename(backup.c_str(), path.c_str());
    return true;
}

bool SaveDocumentSafely(XmlDocument& document, const std::string& path) {
    const std::string side = path + ".pending";
    const std::string backup = path + ".bak";
    const std::string error = WriteSideFile(side, PrintedText(document));
    if (!error.empty()) {
        std::remove(side.c_str());
        document.RecordError(TiXmlBase::TIXML_ERROR_OPENING_FILE, error);
        return false;
    }
    if (!SwapInSideFile(side, path, backup)) {
        document.RecordError(TiXmlBase::TIXML_ERROR_OPENING_FILE, "xml file swap failed");
        return false;
    }
    // Until the directory is on storage the backup is the only copy sure to survive.
    if (!SyncDirectoryOf(path)) {
        document.RecordError(TiXmlBase::TIXML_ERROR_OPENING_FILE, WithErrno("write error "));
        return false;
    }
    std::remove(backup.c_str());
    return true;
}
