// The benchmark's frame reader: drains standard input as a host would, either
// engine frames (60-byte header, then pitch x height pixel bytes, and in I420
// the two chroma planes of pitch/2 x (height+1)/2 bytes after them) or raw
// frames of a fixed size (ffmpeg's rawvideo). It copies every byte into its
// own memory and nothing more, so that it never limits what it measures.
//   frame-reader vxfr        engine frames; one line per new generation and per landed frame
//   frame-reader raw BYTES   raw frames of BYTES each
// Prints, as JSON lines on standard output:
//   {"generation":G,"first_us":T}   when the first whole frame of G arrived
//   {"landed":S,"at_us":T,"pts_us":P,"number":N}
//                                   when a frame flagged landed by seek S arrived whole, P its time and
//                                   N the number drawn in it by a numbered clip (ten blocks across the
//                                   middle row, white for a set bit, lowest on the left)
//   {"rewound_us":P,"gap_us":D}     when a frame of a generation is earlier in the media than the one
//                                   before (a loop's restart, at P), D after that one arrived
//   {"preview":S,"at_us":T,"pts_us":P}
//                                   when the frame of preview S arrived whole; previews count in no other line
//   {"frames":N,"bytes":B,"cpu_s":C,"previews":V}
//                                   at the end of input, C its own CPU time, N playback's frames
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

// The frame header's fields that this reader needs, by offset, named as in the
// header's one definition: FRAME_HEADER in sdk/src/protocol.ts.
namespace header {
const size_t size = 60, magic = 0, width = 4, height = 8, pitch = 12, fourcc = 16, pts = 20, generation = 44,
             flags = 52, seek = 56;
}

const size_t CHUNK = 1 << 20;
unsigned char scratch[CHUNK];

int64_t mono_us() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// Reads exactly n bytes into dst (or into scratch, a chunk at a time, when
// dst is null); false at the end of input.
bool read_exactly(unsigned char *dst, uint64_t n) {
    while (n > 0) {
        size_t want = n < CHUNK ? size_t(n) : CHUNK;
        ssize_t got = read(0, dst ? dst : scratch, want);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        if (dst)
            dst += got;
        n -= uint64_t(got);
    }
    return true;
}

uint64_t le(const unsigned char *at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; i--)
        v = v << 8 | at[i];
    return v;
}

// The number a numbered clip draws: ten blocks across the middle row, a set
// bit where the block's middle is white (in BGRX all three samples, in I420 Y).
unsigned drawn_number(const unsigned char *pixels, uint64_t width, uint64_t height, uint64_t pitch, bool i420) {
    unsigned n = 0;
    const unsigned char *row = pixels + height / 2 * pitch;
    for (unsigned k = 0; k < 10; k++) {
        uint64_t x = width * (2 * k + 1) / 20;
        const unsigned char *p = row + (i420 ? x : x * 4);
        bool white = i420 ? p[0] > 160 : p[0] > 160 && p[1] > 160 && p[2] > 160;
        n |= unsigned(white) << k;
    }
    return n;
}

double cpu_s() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char **argv) {
    bool raw = argc >= 3 && strcmp(argv[1], "raw") == 0;
    if (!raw && !(argc == 2 && strcmp(argv[1], "vxfr") == 0)) {
        fputs("usage: frame-reader vxfr | raw BYTES\n", stderr);
        return 2;
    }
    uint64_t raw_bytes = raw ? strtoull(argv[2], nullptr, 10) : 0;
    // The engine asks for this pipe size itself; ask the same for ffmpeg's.
    fcntl(0, F_SETPIPE_SZ, 1 << 20);
    uint64_t frames = 0, bytes = 0, previews = 0, last_generation = UINT64_MAX;
    // A landed frame is kept whole to read its number.
    unsigned char *landed = nullptr;
    uint64_t landed_size = 0;
    int64_t last_pts = 0, last_at = 0;
    for (;;) {
        if (raw) {
            if (!read_exactly(nullptr, raw_bytes))
                break;
            bytes += raw_bytes;
        } else {
            unsigned char head[header::size];
            if (!read_exactly(head, sizeof head) || memcmp(head + header::magic, "VXFR", 4) != 0)
                break;
            uint64_t pitch = le(head + header::pitch, 4), height = le(head + header::height, 4);
            bool i420 = memcmp(head + header::fourcc, "I420", 4) == 0;
            uint64_t n = pitch * height + (i420 ? pitch / 2 * ((height + 1) / 2) * 2 : 0);
            bool is_landed = le(head + header::flags, 4) & 1;
            if (is_landed && n > landed_size) {
                free(landed);
                landed = static_cast<unsigned char *>(malloc(n));
                landed_size = landed ? n : 0;
            }
            if (!read_exactly(is_landed ? landed : nullptr, n))
                break;
            bytes += sizeof head + n;
            uint64_t g = le(head + header::generation, 8);
            int64_t pts = int64_t(le(head + header::pts, 8)), at = mono_us();
            if (le(head + header::flags, 4) & 2) {
                printf("{\"preview\":%llu,\"at_us\":%lld,\"pts_us\":%lld}\n",
                       (unsigned long long)le(head + header::seek, 4), (long long)at, (long long)pts);
                fflush(stdout);
                previews++;
                continue;
            }
            if (g == last_generation && pts < last_pts) {
                printf("{\"rewound_us\":%lld,\"gap_us\":%lld}\n", (long long)pts, (long long)(at - last_at));
                fflush(stdout);
            }
            last_pts = pts;
            last_at = at;
            if (g != last_generation) {
                last_generation = g;
                printf("{\"generation\":%llu,\"first_us\":%lld}\n", (unsigned long long)g, (long long)mono_us());
                fflush(stdout);
            }
            if (is_landed) {
                unsigned number =
                    landed && height > 0 ? drawn_number(landed, le(head + header::width, 4), height, pitch, i420) : 0;
                printf("{\"landed\":%llu,\"at_us\":%lld,\"pts_us\":%lld,\"number\":%u}\n",
                       (unsigned long long)le(head + header::seek, 4), (long long)at, (long long)pts, number);
                fflush(stdout);
            }
        }
        frames++;
    }
    printf("{\"frames\":%llu,\"bytes\":%llu,\"cpu_s\":%.3f,\"previews\":%llu}\n", (unsigned long long)frames,
           (unsigned long long)bytes, cpu_s(), (unsigned long long)previews);
    return 0;
}
