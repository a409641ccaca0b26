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
// an MPEG-4 ES descriptor), then either
//  - 'data' (sized at the end) and 'pakt' with every packet's size and the
//    priming and remainder frames (an export, complete or nothing); or
//  - for a recording, a 'pakt' chunk with room reserved for the packet table,
//    brought up to date at each checkpoint, and 'data' whose size says "to
//    the end of the file" until the end. A reader then finds every packet up
//    to the last checkpoint even if the process dies or the disk fills, and
//    completing it (completeInterruptedCaf) states the data size. A table
//    that outgrows its room goes after the data at the end instead, its
//    room becoming a 'free' chunk; checkpoints then stop.
// Used under the writer's mutex.
class CafFile {
public:
    // Room for this many bytes of packet table in a recording: two bytes a
    // packet at the usual bit rates, about three hours of stereo at 44.1 kHz.
    static constexpr std::uint64_t kReservedTableBytes = 1 << 20;

    // Writes through fd, an empty file it owns from here on. crashSafe: the
    // layout of a recording (above).
    static OSStatus create(int fd, const AVCodecContext& enc, bool crashSafe, std::unique_ptr<CafFile>& out)
    {
        std::unique_ptr<CafFile> caf(new CafFile(fd));
        caf->framesPerPacket_ = enc.frame_size;
        caf->priming_ = enc.initial_padding;
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
        if (crashSafe) {
            append(h, "pakt");
            caf->tableAt_ = h.size() - 4;
            put(h, 24 + kReservedTableBytes, 8);
            h.resize(h.size() + 24 + kReservedTableBytes);  // no packets yet
        }
        append(h, "data");
        caf->dataSizeAt_ = h.size();
        put(h, crashSafe ? ~std::uint64_t(0) : 4, 8);
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
        std::uint64_t written = 0;
        const OSStatus st = writeAll(fd_, data, std::size_t(size), written);
        dataBytes_ += written;
        if (st == noErr)
            sizes_.push_back(std::uint32_t(size));
        return st;
    }

    // Makes the packets written so far readable: their sizes go into the
    // reserved table first, the count that makes a reader use them last.
    OSStatus checkpoint()
    {
        if (tableAt_ < 0)
            return noErr;
        for (; tabled_ < sizes_.size(); ++tabled_) {
            std::vector<std::uint8_t> entry;
            putVarint(entry, sizes_[tabled_]);
            if (tableBytes_ + entry.size() > kReservedTableBytes)
                return noErr;  // full: the table goes after the data at the end
            if (::pwrite(fd_, entry.data(), entry.size(), off_t(tableAt_ + 12 + 24 + tableBytes_))
                != ssize_t(entry.size()))
                return writeFailure(statusFromErrno(errno));
            tableBytes_ += entry.size();
        }
        const std::int64_t frames = std::int64_t(tabled_) * framesPerPacket_;
        const std::vector<std::uint8_t> counts = tableCounts(tabled_, std::max<std::int64_t>(0, frames - priming_), 0);
        if (::pwrite(fd_, counts.data(), counts.size(), off_t(tableAt_ + 12)) != ssize_t(counts.size()))
            return writeFailure(statusFromErrno(errno));
        return noErr;
    }

    // failed: the disk refused data; the packets wholly written are kept
    // and what follows them is cut off.
    OSStatus finish(std::int64_t validFrames, bool failed)
    {
        OSStatus st = noErr;
        std::uint64_t wholeBytes = 0;
        for (std::uint32_t size : sizes_)
            wholeBytes += size;
        if (wholeBytes != dataBytes_ && ::ftruncate(fd_, off_t(dataSizeAt_ + 12 + wholeBytes)) != 0)
            st = writeFailure(statusFromErrno(errno));
        const std::int64_t total = std::int64_t(sizes_.size()) * framesPerPacket_;
        if (failed)
            validFrames = std::max<std::int64_t>(0, total - priming_);
        const std::vector<std::uint8_t> counts
            = tableCounts(sizes_.size(), validFrames, std::max<std::int64_t>(0, total - validFrames - priming_));
        if (tableAt_ >= 0 && checkpoint() == noErr && tabled_ == sizes_.size()) {
            // The table fits its room: the reserved chunk becomes the final one.
            if (::pwrite(fd_, counts.data(), counts.size(), off_t(tableAt_ + 12)) != ssize_t(counts.size()))
                st = writeFailure(statusFromErrno(errno));
            st = st != noErr ? st : setDataSize(wholeBytes);
        } else if (!failed || tableAt_ < 0) {
            if (tableAt_ >= 0 && ::pwrite(fd_, "free", 4, off_t(tableAt_)) != 4)
                st = writeFailure(statusFromErrno(errno));
            if (st == noErr)
                st = setDataSize(wholeBytes);
            std::vector<std::uint8_t> table;
            for (std::uint32_t size : sizes_)
                putVarint(table, size);
            std::vector<std::uint8_t> p;
            append(p, "pakt");
            put(p, 24 + table.size(), 8);
            p.insert(p.end(), counts.begin(), counts.end());
            p.insert(p.end(), table.begin(), table.end());
            if (st == noErr && !failed)
                st = writeBytes(p.data(), p.size());
        }
        if (::close(fd_) != 0 && st == noErr)
            st = writeFailure(statusFromErrno(errno));
        fd_ = -1;
        return st;
    }

private:
    explicit CafFile(int fd) : fd_(fd) { }

    // The packet table's header: packets, valid frames, priming, remainder.
    std::vector<std::uint8_t> tableCounts(std::uint64_t packets, std::int64_t valid, std::int64_t remainder) const
    {
        std::vector<std::uint8_t> v;
        put(v, packets, 8);
        put(v, std::uint64_t(valid), 8);
        put(v, std::uint64_t(priming_), 4);
        put(v, std::uint64_t(remainder), 4);
        return v;
    }

    OSStatus setDataSize(std::uint64_t bytes)
    {
        std::vector<std::uint8_t> v;
        put(v, 4 + bytes, 8);
        if (::pwrite(fd_, v.data(), v.size(), off_t(dataSizeAt_)) != ssize_t(v.size()))
            return writeFailure(statusFromErrno(errno));
        return noErr;
    }

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
    int framesPerPacket_ = 1024;
    int priming_ = 0;
    std::int64_t tableAt_ = -1;  // the reserved 'pakt' chunk of a recording
    std::size_t tabled_ = 0;     // packets in it
    std::uint64_t tableBytes_ = 0;
    std::size_t dataSizeAt_ = 0;
    std::uint64_t dataBytes_ = 0;  // written, a packet cut short included
    std::vector<std::uint32_t> sizes_;
};

}  // namespace audiofile
