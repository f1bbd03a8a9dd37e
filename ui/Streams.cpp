#include "ui/Streams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

int64_t TStream::Size() {
    const int64_t here = Seek(0, soCurrent);
    const int64_t end = Seek(0, soEnd);
    Seek(here, soBeginning);
    return end;
}

void TStream::SetSize(int64_t) { throw EStreamError("Stream size cannot be changed"); }

void TStream::ReadBuffer(void* buffer, int64_t count) {
    if (count > 0 && Read(buffer, count) != count)
        throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
    if (count > 0 && Write(buffer, count) != count)
        throw EStreamError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    char chunk[65536];
    int64_t left = count;
    while (left > 0) {
        const int64_t n = std::min<int64_t>(left, sizeof chunk);
        source.ReadBuffer(chunk, n);
        WriteBuffer(chunk, n);
        left -= n;
    }
    return count;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
    const int64_t size = Size();
    if (count <= 0 || position_ >= size)
        return 0;
    const int64_t n = std::min(count, size - position_);
    std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0 || position_ < 0)
        return 0;
    const auto end = static_cast<size_t>(position_ + count);
    if (end > data_.size()) {
        // Geometric growth keeps appending line by line linear in the total size.
        if (end > data_.capacity())
            data_.reserve(std::max(end, data_.capacity() * 2));
        data_.resize(end);
    }
    std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
    position_ += count;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t base = 0;
    if (origin == soCurrent)
        base = position_;
    else if (origin == soEnd)
        base = Size();
    const int64_t target = base + offset;
    if (target < 0)
        throw EStreamError("Invalid stream position");
    position_ = target;
    return position_;
}

void TMemoryStream::SetSize(int64_t size) {
    if (size < 0)
        throw EStreamError("Invalid stream size");
    data_.resize(static_cast<size_t>(size));
    position_ = std::min(position_, size);
}

void TMemoryStream::Clear() {
    data_.clear();
    data_.shrink_to_fit();
    position_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& path) {
    TFileStream file(path, fmOpenRead);
    Clear();
    const int64_t size = file.Size();
    SetSize(size);
    file.ReadBuffer(data_.data(), size);
    position_ = 0;
}

void TMemoryStream::SaveToFile(const std::string& path) const {
    TFileStream file(path, fmCreate);
    file.WriteBuffer(data_.data(), static_cast<int64_t>(data_.size()));
}

TFileStream::TFileStream(const std::string& path, TFileMode mode) : path_(path) {
    const char* how = "rb";
    switch (mode) {
    case fmOpenRead: how = "rb"; break;
    case fmOpenWrite:
    case fmOpenReadWrite: how = "r+b"; break;
    case fmCreate: how = "w+b"; break;
    }
    file_ = std::fopen(path.c_str(), how);
    if (!file_) {
        const std::string reason = std::strerror(errno);
        if (mode == fmCreate)
            throw EFCreateError("Cannot create file \"" + path + "\". " + reason);
        throw EFOpenError("Cannot open file \"" + path + "\". " + reason);
    }
}

TFileStream::~TFileStream() {
    if (file_)
        std::fclose(file_);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
    if (count <= 0)
        return 0;
    const size_t n = std::fread(buffer, 1, static_cast<size_t>(count), file_);
    if (n == 0 && std::ferror(file_))
        throw EStreamError("Read error on \"" + path_ + "\"");
    return static_cast<int64_t>(n);
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
    if (count <= 0)
        return 0;
    return static_cast<int64_t>(std::fwrite(buffer, 1, static_cast<size_t>(count), file_));
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    const int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
    if (fseeko(file_, static_cast<off_t>(offset), whence) != 0)
        throw EStreamError("Seek error on \"" + path_ + "\"");
    return static_cast<int64_t>(ftello(file_));
}
