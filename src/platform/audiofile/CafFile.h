#pragma once

#include "platform/audiofile/AudioFileCommon.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace audiofile {

// A CAF file of AAC packets, written by hand because FFmpeg's caf muxer
// refuses AAC. Chunks: header, 'desc', 'kuki' (the decoder configuration as
// an MPEG-4 ES descriptor), 'data' (sized at the end), then 'pakt' with every
// packet's size and the priming and remainder frames. Export only: no crash
// safety is asked of it. Used under the writer's mutex.
class CafFile {
public:
    // Writes through fd, an empty file it owns from here on.
    static OSStatus create(int fd, const AVCodecContext& enc, std::unique_ptr<CafFile>& out)
    {
        std::unique_ptr<CafFile> caf(new CafFile(fd));
        std::vector<std::uint8_t> h;
        append(h, "caff");
        put(h, 1, 2);
        put(h, 0, 2);
        append(h, "desc");
        put(h, 32, 8);
        std::uint64_t rateBits;
        const double rate = enc.sample_rate;
        std::memcpy(&rateBits, &rate, 8);
        put(h, rateBits, 8);
        append(h, "aac ");
        put(h, 2, 4);  // MPEG-4 object type AAC LC
        put(h, 0, 4);
        put(h, std::uint64_t(enc.frame_size), 4);
        put(h, std::uint64_t(enc.ch_layout.nb_channels), 4);
        put(h, 0, 4);
        const std::vector<std::uint8_t> cookie = esDescriptor(enc);
        append(h, "kuki");
        put(h, cookie.size(), 8);
        h.insert(h.end(), cookie.begin(), cookie.end());
        append(h, "data");
        caf->dataSizeAt_ = h.size();
        put(h, 4, 8);
        put(h, 0, 4);  // edit count
        if (OSStatus st = caf->writeBytes(h.data(), h.size()))
            return st;
        out = std::move(caf);
        return noErr;
    }

    ~CafFile()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    OSStatus writePacket(const std::uint8_t* data, int size)
    {
        if (OSStatus st = writeBytes(data, std::size_t(size)))
            return st;
        dataBytes_ += std::uint64_t(size);
        sizes_.push_back(std::uint32_t(size));
        return noErr;
    }

    OSStatus finish(std::int64_t validFrames, int priming, int framesPerPacket, bool failed)
    {
        OSStatus st = noErr;
        std::vector<std::uint8_t> v;
        put(v, 4 + dataBytes_, 8);
        if (::pwrite(fd_, v.data(), v.size(), off_t(dataSizeAt_)) != ssize_t(v.size()))
            st = writeFailure(statusFromErrno(errno));
        if (st == noErr && !failed) {
            std::vector<std::uint8_t> table;
            for (std::uint32_t size : sizes_)
                putVarint(table, size);
            const std::int64_t total = std::int64_t(sizes_.size()) * framesPerPacket;
            std::vector<std::uint8_t> p;
            append(p, "pakt");
            put(p, 24 + table.size(), 8);
            put(p, sizes_.size(), 8);
            put(p, std::uint64_t(validFrames), 8);
            put(p, std::uint64_t(priming), 4);
            put(p, std::uint64_t(std::max<std::int64_t>(0, total - validFrames - priming)), 4);
            p.insert(p.end(), table.begin(), table.end());
            st = writeBytes(p.data(), p.size());
        }
        if (::close(fd_) != 0 && st == noErr)
            st = writeFailure(statusFromErrno(errno));
        fd_ = -1;
        return st;
    }

private:
    explicit CafFile(int fd) : fd_(fd) { }

    static void append(std::vector<std::uint8_t>& v, const char (&tag)[5]) { v.insert(v.end(), tag, tag + 4); }
    static void put(std::vector<std::uint8_t>& v, std::uint64_t value, int bytes)
    {
        for (int i = bytes - 1; i >= 0; --i)
            v.push_back(std::uint8_t(value >> (8 * i)));
    }
    static void putVarint(std::vector<std::uint8_t>& v, std::uint32_t value)
    {
        std::uint8_t groups[5];
        int n = 0;
        do {
            groups[n++] = std::uint8_t(value & 0x7F);
            value >>= 7;
        } while (value);
        while (n-- > 0)
            v.push_back(std::uint8_t(groups[n] | (n ? 0x80 : 0)));
    }
    // Descriptor tag and length in the four-byte form Core Audio writes.
    static void descriptor(std::vector<std::uint8_t>& v, std::uint8_t tag, std::size_t length)
    {
        v.push_back(tag);
        v.push_back(std::uint8_t(0x80 | ((length >> 21) & 0x7F)));
        v.push_back(std::uint8_t(0x80 | ((length >> 14) & 0x7F)));
        v.push_back(std::uint8_t(0x80 | ((length >> 7) & 0x7F)));
        v.push_back(std::uint8_t(length & 0x7F));
    }
    static std::vector<std::uint8_t> esDescriptor(const AVCodecContext& enc)
    {
        const std::size_t config = std::size_t(std::max(enc.extradata_size, 0));
        std::vector<std::uint8_t> v;
        descriptor(v, 0x03, 3 + 5 + 13 + 5 + config + 5 + 1);
        put(v, 0, 2);  // ES id
        put(v, 0, 1);  // flags
        descriptor(v, 0x04, 13 + 5 + config);
        put(v, 0x40, 1);  // MPEG-4 audio
        put(v, 0x15, 1);  // audio stream
        put(v, 0, 3);
        put(v, std::uint64_t(enc.bit_rate), 4);
        put(v, std::uint64_t(enc.bit_rate), 4);
        descriptor(v, 0x05, config);
        v.insert(v.end(), enc.extradata, enc.extradata + config);
        descriptor(v, 0x06, 1);
        put(v, 2, 1);
        return v;
    }

    OSStatus writeBytes(const std::uint8_t* p, std::size_t size)
    {
        std::uint64_t written = 0;
        return writeAll(fd_, p, size, written);
    }

    int fd_;
    std::size_t dataSizeAt_ = 0;
    std::uint64_t dataBytes_ = 0;
    std::vector<std::uint32_t> sizes_;
};

}  // namespace audiofile
