#pragma once

#include "ui/Exceptions.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

enum TSeekOrigin { soBeginning, soCurrent, soEnd };

// A byte stream with a position. Read and Write move the position and return how many bytes
// they transferred; ReadBuffer and WriteBuffer raise EStreamError when they cannot do all.
class TStream {
public:
    TStream() = default;
    TStream(const TStream&) = delete;
    TStream& operator=(const TStream&) = delete;
    virtual ~TStream() = default;

    virtual int64_t Read(void* buffer, int64_t count) = 0;
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t position) { Seek(position, soBeginning); }
    virtual int64_t Size();
    virtual void SetSize(int64_t size);

    void ReadBuffer(void* buffer, int64_t count);
    void WriteBuffer(const void* buffer, int64_t count);
    void WriteString(const std::string& text) { WriteBuffer(text.data(), static_cast<int64_t>(text.size())); }
    // Copies count bytes from source (all of it from its start when count is 0).
    int64_t CopyFrom(TStream& source, int64_t count);
};

// A stream over a growable block of memory.
class TMemoryStream : public TStream {
public:
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return static_cast<int64_t>(data_.size()); }
    void SetSize(int64_t size) override;

    void Clear();
    const char* Memory() const noexcept { return data_.data(); }
    char* Memory() noexcept { return data_.data(); }
    std::string DataString() const { return std::string(data_.begin(), data_.end()); }
    void LoadFromFile(const std::string& path);
    void SaveToFile(const std::string& path) const;

private:
    std::vector<char> data_;
    int64_t position_ = 0;
};

// File open modes of TFileStream.
enum TFileMode { fmOpenRead, fmOpenWrite, fmOpenReadWrite, fmCreate };

// A stream over a file on disk. Opening failure raises EFOpenError / EFCreateError.
class TFileStream : public TStream {
public:
    TFileStream(const std::string& path, TFileMode mode);
    ~TFileStream() override;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    const std::string& FileName() const noexcept { return path_; }

private:
    std::string path_;
    std::FILE* file_ = nullptr;
};

POSTLARK_DECLARE_EXCEPTION(EFOpenError, EStreamError);
POSTLARK_DECLARE_EXCEPTION(EFCreateError, EStreamError);
