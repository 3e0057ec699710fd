#pragma once
// Spool segment files: append-only files of the messages that a processor
// refused, one record a message, each with its length and a checksum
// (zlib's CRC-32), so that a record cut short by a kill, or damaged on
// disk, is told from a good one. Encoding and checking only; no files are
// opened here.
//
// A file is a header of SEGMENT_HEADER_SIZE bytes, then the records:
//   header   the mark "vostrelld spool\n" (16 bytes, format 1);
//            the seal, written once no more records are added: the file's
//            length and its records (u64, u32) and their CRC (u32);
//            the progress, written as records are delivered: the offset of
//            the first record not delivered and the records before it (u64,
//            u32) and their CRC (u32); 16 bytes of zeros.
//   record   the body's length (u32), the CRC of those 4 bytes and the body
//            (u32), the body: its frames (u8, 1 or 2), the first frame's
//            length where there are 2 (u32), the frames' bytes.
// Numbers are little-endian. A seal or progress whose CRC fails is taken as
// not written.

#include <cstddef>
#include <cstdint>
#include <memory>

constexpr size_t SEGMENT_HEADER_SIZE = 64;
constexpr size_t SEAL_OFFSET = 16;
constexpr size_t PROGRESS_OFFSET = 32;
constexpr size_t MARK_SIZE = 16; // and the size of a seal or a progress

// Bytes of a record before its body, and the largest body taken.
constexpr size_t RECORD_HEADER_SIZE = 8;
constexpr uint32_t MAX_RECORD_BODY = 1u << 30;

// One message: one frame, or two (a timestamped record's).
struct spool_frames {
    const uint8_t *data[2];
    size_t size[2];
    int count;
};

// A seal or a progress: an offset in the file and the records before it.
struct segment_mark {
    uint64_t offset;
    uint32_t records;
};

// The header of a new file, without seal or progress.
void encode_header(uint8_t header[SEGMENT_HEADER_SIZE]);

// The 16 bytes of a seal or a progress.
void encode_mark(const segment_mark *mark, uint8_t out[MARK_SIZE]);

// True where header begins with the mark of this format.
bool header_is_ours(const uint8_t header[SEGMENT_HEADER_SIZE]);

// Reads the seal or progress at offset (SEAL_OFFSET, PROGRESS_OFFSET) of
// header into mark; false where it is not written or its CRC fails.
bool decode_mark(const uint8_t header[SEGMENT_HEADER_SIZE], size_t offset, segment_mark *mark);

// The size of the record of frames, in bytes; 0 where its body would be
// larger than MAX_RECORD_BODY.
size_t record_size(const spool_frames *frames);

// Writes the record of frames into out, record_size(frames) bytes.
void encode_record(const spool_frames *frames, uint8_t *out);

// What the bytes at the start of a record's place hold.
enum {
    RECORD_GOOD, // a whole record whose checksum holds
    RECORD_TORN, // a record that runs past the bytes there are: cut short
    RECORD_BAD,  // a length or checksum that does not hold
};

// Checks the record at data[0..available): RECORD_GOOD with its size in
// *size and its frames (pointing into data) in *frames, or why not. Where
// data holds only the record's first bytes, *size tells how many it needs
// (RECORD_TORN).
int decode_record(const uint8_t *data, size_t available, size_t *size, spool_frames *frames);

// Bytes of a file read ahead, from offset at on.
struct read_buffer {
    std::unique_ptr<uint8_t[]> bytes; // not cleared: only what was read is used
    size_t capacity = 0;
    uint64_t at = 0;
    size_t length = 0;
};

// Reads the record at offset of the file open as fd, whose records end at
// end, through buffer: as decode_record, RECORD_TORN where it runs past end
// (or cannot be read).
int read_record(read_buffer *buffer, int fd, uint64_t offset, uint64_t end, size_t *size,
                spool_frames *frames);

// Writes a seal or a progress into the header of the file open as fd;
// false, errno set, where it cannot. Either only spares work at the next
// start: a file without its seal is read through, and one without its
// progress delivered again from its start.
bool write_mark(int fd, size_t offset, segment_mark mark);

// Writes size bytes at offset of fd, all of them; false, errno set, where
// it cannot.
bool write_at(int fd, const void *data, size_t size, uint64_t offset);

// Reads up to size bytes at offset of fd; how many it read (fewer at the
// end of the file, or after an error).
size_t read_at(int fd, void *data, size_t size, uint64_t offset);
