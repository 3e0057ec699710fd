#include "segment.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <endian.h>
#include <unistd.h>
#include <zlib.h>

static const char MARK[MARK_SIZE + 1] = "vostrelld spool\n";

static void put32(uint8_t *out, uint32_t value)
{
    value = htole32(value);
    memcpy(out, &value, sizeof value);
}

static uint32_t get32(const uint8_t *in)
{
    uint32_t value;
    memcpy(&value, in, sizeof value);
    return le32toh(value);
}

static uint32_t checksum(uint32_t crc, const uint8_t *data, size_t size)
{
    // zlib's length is an unsigned int; a body is at most MAX_RECORD_BODY.
    return static_cast<uint32_t>(crc32(crc, data, static_cast<unsigned>(size)));
}

void encode_header(uint8_t header[SEGMENT_HEADER_SIZE])
{
    memset(header, 0, SEGMENT_HEADER_SIZE);
    memcpy(header, MARK, MARK_SIZE);
}

void encode_mark(const segment_mark *mark, uint8_t out[MARK_SIZE])
{
    uint64_t offset = htole64(mark->offset);
    memcpy(out, &offset, sizeof offset);
    put32(out + 8, mark->records);
    put32(out + 12, checksum(0, out, 12));
}

bool header_is_ours(const uint8_t header[SEGMENT_HEADER_SIZE])
{
    return memcmp(header, MARK, MARK_SIZE) == 0;
}

bool decode_mark(const uint8_t header[SEGMENT_HEADER_SIZE], size_t offset, segment_mark *mark)
{
    const uint8_t *in = header + offset;
    uint64_t at;
    memcpy(&at, in, sizeof at);
    mark->offset = le64toh(at);
    mark->records = get32(in + 8);
    // An unwritten mark is all zeros, whose CRC is not zero.
    return get32(in + 12) == checksum(0, in, 12) && mark->offset >= SEGMENT_HEADER_SIZE;
}

// Bytes of the body before the frames: their count, and the first one's
// length where there are two.
static size_t frames_header_size(int count)
{
    return count == 2 ? 5 : 1;
}

size_t record_size(const spool_frames *frames)
{
    size_t body = frames_header_size(frames->count);
    for (int frame = 0; frame < frames->count; frame++)
        body += frames->size[frame];
    return body > MAX_RECORD_BODY ? 0 : RECORD_HEADER_SIZE + body;
}

void encode_record(const spool_frames *frames, uint8_t *out)
{
    size_t size = record_size(frames);
    uint8_t *body = out + RECORD_HEADER_SIZE;
    put32(out, static_cast<uint32_t>(size - RECORD_HEADER_SIZE));
    body[0] = static_cast<uint8_t>(frames->count);
    if (frames->count == 2)
        put32(body + 1, static_cast<uint32_t>(frames->size[0]));
    uint8_t *data = body + frames_header_size(frames->count);
    for (int frame = 0; frame < frames->count; frame++) {
        if (frames->size[frame] > 0)
            memcpy(data, frames->data[frame], frames->size[frame]);
        data += frames->size[frame];
    }
    put32(out + 4, checksum(checksum(0, out, 4), body, size - RECORD_HEADER_SIZE));
}

// Reads the frames of a body whose checksum holds; false where its layout
// does not.
static bool decode_frames(const uint8_t *body, size_t length, spool_frames *frames)
{
    frames->count = body[0];
    if ((frames->count != 1 && frames->count != 2) || length < frames_header_size(frames->count))
        return false;
    size_t header = frames_header_size(frames->count);
    size_t first = frames->count == 2 ? get32(body + 1) : length - header;
    if (first > length - header)
        return false;
    frames->data[0] = body + header;
    frames->size[0] = first;
    frames->data[1] = body + header + first;
    frames->size[1] = length - header - first;
    return true;
}

int decode_record(const uint8_t *data, size_t available, size_t *size, spool_frames *frames)
{
    *size = RECORD_HEADER_SIZE;
    if (available < RECORD_HEADER_SIZE)
        return RECORD_TORN;
    uint32_t length = get32(data);
    if (length == 0 || length > MAX_RECORD_BODY)
        return RECORD_BAD;
    *size = RECORD_HEADER_SIZE + length;
    if (available < *size)
        return RECORD_TORN;
    const uint8_t *body = data + RECORD_HEADER_SIZE;
    if (get32(data + 4) != checksum(checksum(0, data, 4), body, length) ||
        !decode_frames(body, length, frames))
        return RECORD_BAD;
    return RECORD_GOOD;
}

bool write_at(int fd, const void *data, size_t size, uint64_t offset)
{
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t written = pwrite(fd, bytes, size, static_cast<off_t>(offset));
        if (written == -1 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes += written;
        size -= static_cast<size_t>(written);
        offset += static_cast<uint64_t>(written);
    }
    return true;
}

size_t read_at(int fd, void *data, size_t size, uint64_t offset)
{
    size_t got = 0;
    while (got < size) {
        ssize_t read = pread(fd, static_cast<char *>(data) + got, size - got,
                             static_cast<off_t>(offset + got));
        if (read == -1 && errno == EINTR)
            continue;
        if (read <= 0)
            break;
        got += static_cast<size_t>(read);
    }
    return got;
}

bool write_mark(int fd, size_t offset, segment_mark mark)
{
    uint8_t bytes[MARK_SIZE];
    encode_mark(&mark, bytes);
    return write_at(fd, bytes, sizeof bytes, offset);
}

// Bytes a buffer reads at least, and keeps after a larger record.
static const size_t BUFFER_SIZE = 256 * 1024;
static const size_t KEPT_BUFFER_SIZE = 1024 * 1024;

// Makes buffer hold the bytes of fd from offset on, needed of them at least
// where the file has them before end; how many it holds from offset.
static size_t fill_buffer(read_buffer *buffer, int fd, uint64_t offset, uint64_t end, size_t needed)
{
    if (offset >= buffer->at && offset + needed <= buffer->at + buffer->length)
        return static_cast<size_t>(buffer->at + buffer->length - offset);
    size_t wanted =
        static_cast<size_t>(std::min<uint64_t>(std::max(needed, BUFFER_SIZE), end - offset));
    if (buffer->capacity < wanted ||
        (buffer->capacity > KEPT_BUFFER_SIZE && wanted <= BUFFER_SIZE)) {
        buffer->capacity = std::max(wanted, BUFFER_SIZE);
        buffer->bytes = std::make_unique_for_overwrite<uint8_t[]>(buffer->capacity);
    }
    buffer->at = offset;
    buffer->length = read_at(fd, buffer->bytes.get(), wanted, offset);
    return buffer->length;
}

int read_record(read_buffer *buffer, int fd, uint64_t offset, uint64_t end, size_t *size,
                spool_frames *frames)
{
    int found = RECORD_TORN;
    size_t available;
    *size = RECORD_HEADER_SIZE;
    while (found == RECORD_TORN &&
           (available = fill_buffer(buffer, fd, offset, end, *size)) >= *size)
        found = decode_record(buffer->bytes.get() + (offset - buffer->at), available, size, frames);
    return found;
}
