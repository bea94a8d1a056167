// The picture pool and the frame pipe, driven as the video callbacks drive
// them, with fd 3 a real pipe whose other end the test reads as the host.
#include "frames.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <ctime>
#include <endian.h>
#include <vector>

#include <gtest/gtest.h>

using frame = std::vector<unsigned char>;  // header and pixels as read from the pipe
enum { SEQ = FRAME_OFF_SEQ, FLAGS = FRAME_OFF_FLAGS, LANDED = FRAME_LANDED };
const uint64_t MARK = mark_of(-2);  // a landing of the seek command -2: its low 32 bits go on the wire
int host_fd = -1;  // the host's end of the frame pipe
uint64_t gen;      // the pipe's generation; each test moves it on

// Puts a pipe on fd 3 and starts the writer, with SIGPIPE ignored as the engine
// does. fds[1] is above 3: 0..2 and fds[0] were taken.
bool open_pipe() {
    int fds[2];
    signal(SIGPIPE, SIG_IGN);
    return pipe2(fds, O_CLOEXEC) == 0 && (host_fd = fcntl(fds[0], F_DUPFD_CLOEXEC, 10)) >= 10 && close(fds[0]) == 0 &&
           dup2(fds[1], 3) == 3 && close(fds[1]) == 0 && frames_start(1) == 0;
}

bool readable(int ms) {
    pollfd p{host_fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

uint64_t at(const frame &f, int off, int bytes = 8) {  // little-endian
    uint64_t v = 0;
    return memcpy(&v, f.data() + off, size_t(bytes)), le64toh(v);
}
using pf = std::pair<uint64_t, uint64_t>;
// pts and flags, the flags with the landing's id above them.
pf pts_flags(const frame &f) { return {at(f, FRAME_OFF_PTS_US), at(f, FRAME_OFF_FLAGS, 4) | at(f, FRAME_OFF_MARK_ID, 4) << 32}; }
const uint64_t MARKED = uint64_t{0xfffffffe} << 32 | LANDED;  // a frame flagged for MARK

frame next_frame() {  // within 5 s
    frame f(FRAME_HEADER_BYTES);
    for (size_t n = 0; n < f.size();) {
        ssize_t got = readable(5000) ? read(host_fd, f.data() + n, f.size() - n) : -1;
        if (got <= 0)
            return ADD_FAILURE() << "no frame", frame(FRAME_HEADER_BYTES);
        if ((n += size_t(got)) == FRAME_HEADER_BYTES)
            f.resize(n + layout_bytes(at(f, FRAME_OFF_FOURCC, 4) == layout_fourcc(PIXELS_I420) ? PIXELS_I420 : PIXELS_BGRX,
                                      uint32_t(at(f, FRAME_OFF_PITCH, 4)), uint32_t(at(f, FRAME_OFF_HEIGHT, 4))));
    }
    return f;
}

void drain() {  // reads whole frames until the writer is idle and the pipe empty
    for (int i = 0; i < 500 && (frames_backlog() > 0 || readable(10)); i++)
        if (readable(10))
            next_frame();
}

struct Pool : ::testing::Test {
    pictures pool{};
    std::atomic<uint64_t> mark{0};
    void SetUp() override {
        static bool piped = open_pipe();  // once per process, death tests' own included
        ASSERT_TRUE(piped);
        frames_generation(++gen);
    }
    void TearDown() override { pictures_free(&pool), drain(); }
    picture *lock() {
        void *planes[PIXEL_PLANES_MAX] = {nullptr};
        picture *p = pictures_lock(&pool, planes);
        return p && planes[0] == p->pixels ? p : nullptr;  // a wrong plane fails the test
    }
    picture *decode(int byte = -1) {  // decoded and given back: all byte, or else unlike any before
        static uint64_t painted;
        picture *p = lock();
        memset(p->pixels, byte, byte < 0 ? 0 : size_t(p->shape.bytes));
        memcpy(p->pixels, &++painted, byte < 0 ? sizeof painted : 0);
        pictures_unlock(p);
        return p;
    }
    int setup(uint32_t w, uint32_t h, int layout = PIXELS_BGRX) {
        picture_shape shape;
        return shape_packed(layout, w, h, &shape) == 0 ? pictures_setup(&pool, &shape) : -1;
    }
    uint64_t show(picture *p, int64_t pts_us, bool send = true) {
        return pictures_show(&pool, p, gen, send, &mark, pts_us);
    }
    picture *stall_writer() {  // 1920x1080: the writer is busy with its 8 MB until the host reads
        picture *p = setup(1920, 1080) == 0 ? decode() : nullptr;
        show(p, 1);
        return readable(5000) ? p : nullptr;
    }
};
using FramePipeDeathTest = Pool;

TEST_F(Pool, SizesSlotsOverflowAndRetiredPictures) {
    void *planes[1] = {&mark};
    EXPECT_TRUE(!pictures_lock(&pool, planes) && planes[0] == &mark);  // no format: nothing to decode into
    EXPECT_EQ(fcntl(3, F_GETPIPE_SZ), 1048576) << "room for frames while the host is busy";
    const uint32_t cases[][3] = {{1920, 1080, 7680}, {1281, 721, 81 * 64}, {2, 2, 64}, {16384, 1, 65536}, {0, 10, 0},
                                 {10, 0, 0}, {16385, 1, 0}, {1, 16385, 0}, {UINT32_MAX, UINT32_MAX, 0}};  // pitch 0: refused
    for (auto [w, h, pitch] : cases) {
        ASSERT_EQ(setup(64, 48), 0);
        EXPECT_EQ(setup(w, h), pitch ? 0 : -1) << w << "x" << h;
        picture *got = decode();  // the format before stays after a refusal
        EXPECT_EQ(std::tuple(got->shape.width, got->shape.height, got->shape.pitch, pool.shape.pitch, uintptr_t(got->pixels) % 64),
                  pitch ? std::tuple(w, h, pitch, pitch, uintptr_t{0}) : std::tuple(64u, 48u, 256u, 256u, uintptr_t{0}));
    }
    // Slots go lowest first, never while held, queued or shown; with all busy the
    // one overflow serves, held many times; a new format keeps only held pictures.
    ASSERT_EQ(setup(2, 2), 0);
    picture *a = lock(), *b = lock();
    pictures_unlock(a), pictures_unlock(b), show(a, 1), drain();
    EXPECT_EQ(std::tuple(pool.slots[0], pool.slots[1], decode(), decode()), std::tuple(a, b, b, b));
    show(b, 2), drain();
    EXPECT_EQ(std::pair(decode(), pool.count), std::pair(a, 2));
    ASSERT_EQ(setup(2, 2), 0);
    for (int i = 0; i < POOL_SLOTS; i++)
        EXPECT_NE(lock(), pool.overflow);
    picture *over = pool.overflow;
    EXPECT_EQ(std::pair(lock(), lock()), std::pair(over, over));
    ASSERT_EQ(setup(4, 2), 0);  // all held, all retired
    pictures_unlock(pool.retired[0]), pictures_unlock(over);  // the first given back: gone at the next format
    ASSERT_EQ(setup(4, 2), 0);
    EXPECT_EQ(std::tuple(pool.retired_count, over->locked, pool.retired[POOL_SLOTS - 1]), std::tuple(POOL_SLOTS, 1, over));
    pictures_free(&pool);
    EXPECT_TRUE(!pictures_lock(&pool, planes) && planes[0] == &mark);
}

// The header as laid out on the wire; a freed pool's queued pictures are finished
// and freed by the writer, the waiting one written unless its generation has
// passed; a replaced player's pictures are dropped; seq counts only frames sent;
// a picture of an earlier format goes with its own size.
TEST_F(Pool, WireLayoutGenerationsSeqAndOrphanedPictures) {
    const unsigned char head[] = {'V', 'X', 'F', 'R', 5, 0, 0, 0, 3, 0, 0, 0, 64, 0, 0, 0, 'b', 'g', 'r', '0',
                                  0x60, 0xE3, 0x16, 0, 0, 0, 0, 0};  // 5x3, pitch 64, pts 1.5 s
    for (bool replaced : {false, true}) {
        stall_writer(), show(decode(), 2);
        frames_generation(replaced ? ++gen : gen);
        pictures_free(&pool);
        frame first = next_frame();  // begun, so finished whatever the generation
        EXPECT_EQ(at(first, FRAME_OFF_PTS_US) + (replaced ? 2 : at(next_frame(), FRAME_OFF_PTS_US)), 3u);
        ASSERT_EQ(setup(5, 3), 0);
        picture *old = lock();
        for (int i = 0; i < 64 * 3; i++)
            old->pixels[i] = static_cast<unsigned char>(i * 7 + replaced);
        ASSERT_EQ(setup(640, 480), 0);
        pictures_unlock(old);
        pictures_show(&pool, decode(), gen - 1, true, &mark, 9);
        show(old, 1500000);
        frame f = next_frame();
        EXPECT_TRUE(memcmp(f.data(), head, sizeof head) == 0 && memcmp(f.data() + 60, old->pixels, f.size() - 60) == 0);
        EXPECT_EQ(std::tuple(at(f, SEQ), at(f, FRAME_OFF_GENERATION), at(f, FLAGS, 4), at(f, FRAME_OFF_MARK_ID, 4), f.size()),
                  std::tuple(at(first, SEQ) + (replaced ? 1 : 2), gen, 0u, 0u, size_t{60 + 64 * 3}));
        EXPECT_NEAR(double(at(f, FRAME_OFF_WALL_US)) / 1e6, double(time(nullptr)), 60);
    }
}

// A picture that cannot be queued (the overflow; one queued, being written, or
// beyond a full queue) hands the mark back for the next frame sent, at the
// whole millisecond its landing is told; a stalled host never holds up the
// display.
TEST_F(Pool, MarkOfAPictureNotQueuedGoesWithTheNextFrameSent) {
    for (int c = 0; c < 4; c++) {
        picture *busy = stall_writer();
        for (int i = 2; c == 1 && i <= 3; i++)
            show(decode(), i);
        picture *x = c == 0 ? pool.overflow : c == 3 ? busy : decode();
        if (c == 2)
            show(x, 2);
        mark = MARK;
        for (int i = 0; i < 1000; i++)  // nor waits for the host
            show(x, 99);
        int queued = c == 1 ? 3 : c == 2 ? 2 : 1;
        EXPECT_EQ(std::pair(mark.load(), frames_backlog()), std::pair(MARK, queued)) << c;
        for (int i = 1; i <= queued; i++)
            EXPECT_EQ(pts_flags(next_frame()), pf(i, 0)) << c;
        drain();
        EXPECT_EQ(show(decode(), 100499), PICTURE_QUEUED | MARK) << c;
        EXPECT_EQ(std::pair(pts_flags(next_frame()), mark.load()), std::pair(pf(100000, MARKED), uint64_t{0})) << c;
    }
}

// The shown picture shown again (a paused still redrawn) goes to the host once:
// again only when the host never had it, a landing's mark with it. A picture
// shown to no one (a seek under way) leaves the mark alone; sent again as a
// landing, the shown picture goes with the mark, not for an older generation.
TEST_F(Pool, AStillShownAgainIsSentOnceAndHiddenPicturesNeverButAsLandings) {
    ASSERT_EQ(setup(3, 2), 0);
    picture *p = decode(0x5a);
    show(p, 1), next_frame();
    mark = MARK;
    EXPECT_EQ(show(p, 1), 0u) << "the host has it";
    picture *hidden = decode(0x5a);
    EXPECT_EQ(std::tuple(show(hidden, 2000, false), show(hidden, 2000, false), pool.shown, mark.load()),
              std::tuple(0u, 0u, hidden, MARK));
    EXPECT_EQ(show(hidden, 2000), PICTURE_QUEUED | MARK) << "shown to no one, then to the host";
    EXPECT_EQ(pts_flags(next_frame()), pf(2000, MARKED));
    EXPECT_EQ(std::pair(show(hidden, 3000), readable(50)), std::pair(uint64_t{0}, false));
    drain(), mark = MARK;
    EXPECT_EQ(pictures_resend(&pool, gen - 1, &mark, 6000), 0u);
    EXPECT_EQ(pictures_resend(&pool, gen, &mark, 5000), PICTURE_QUEUED | MARK);
    EXPECT_EQ(std::pair(pts_flags(next_frame()), mark.load()), std::pair(pf(5000, MARKED), uint64_t{0}));
}

// I420: the Y plane, then U and V of half the pitch and (height+1)/2 rows,
// libvlc given each plane's start, pitch and rows. Packed, the frame is its
// buffer; in the decoder's own buffers (larger, rows on 128 bytes, maybe
// cropped) only the visible rows of each plane are sent.
TEST_F(Pool, PlanarPicturesKeepTheirPlanesInOneBuffer) {
    // width, height: pitch, U offset, V offset, bytes
    const uint64_t cases[][6] = {{322, 182, 384, 384 * 182, 384 * 182 + 192 * 91, 384 * 182 + 2 * 192 * 91},
                                 {1281, 721, 1344, 1344 * 721, 1344 * 721 + 672 * 361, 1344 * 721 + 2 * 672 * 361},
                                 {1920, 1080, 1920, 1920 * 1080, 1920 * 1080 * 5 / 4, 1920 * 1080 * 3 / 2},
                                 {64, 1, 64, 64, 96, 128}, {1, 1, 64, 64, 96, 128}};
    for (auto [w, h, pitch, u, v, bytes] : cases) {
        ASSERT_EQ(setup(uint32_t(w), uint32_t(h), PIXELS_I420), 0);
        void *planes[5] = {};
        picture *p = pictures_lock(&pool, planes);
        const plane *pl = pool.shape.frame;
        uint64_t chroma_w = (w + 1) / 2, chroma_h = (h + 1) / 2;
        EXPECT_EQ(std::tuple(pool.shape.pitch, pl[1].offset, pl[2].offset, pool.shape.bytes), std::tuple(uint32_t(pitch), u, v, bytes))
            << w << "x" << h;
        EXPECT_EQ(std::tuple(pl[1].pitch, pl[1].lines, pl[1].row, pl[2].pitch, pl[2].lines, pl[2].row),
                  std::tuple(pitch / 2, chroma_h, chroma_w, pitch / 2, chroma_h, chroma_w));
        EXPECT_TRUE(planes[0] == p->pixels && planes[1] == p->pixels + u && planes[2] == p->pixels + v && !planes[3]);
        EXPECT_EQ(uintptr_t(planes[2]) % 32, 0u) << "libvlc wants planes on 32 bytes";
        memset(p->pixels, 0x10, size_t(bytes));  // libvlc may write every byte of every plane
        pictures_unlock(p), show(p, 7);
        frame f = next_frame();
        EXPECT_EQ(std::tuple(at(f, FRAME_OFF_FOURCC, 4), at(f, FRAME_OFF_PITCH, 4), f.size(), f.back()),
                  std::tuple(uint64_t{0x30323449}, pitch, size_t(60 + bytes), uint8_t{0x10}));
    }
    // The decoder's buffers: visible w x h at (x, y) in bw x bh.
    const uint32_t decoded[][6] = {{640, 360, 640, 386, 0, 0}, {1920, 1080, 1920, 1088, 0, 0}, {300, 180, 320, 208, 16, 8}};
    for (auto [w, h, bw, bh, x, y] : decoded) {
        picture_shape shape;
        ASSERT_EQ(shape_decoded(w, h, bw, bh, x, y, &shape), 0);
        ASSERT_EQ(pictures_setup(&pool, &shape), 0);
        void *planes[3] = {};
        picture *p = pictures_lock(&pool, planes);
        uint32_t pitch = (w + 63) & ~63u;
        EXPECT_TRUE(planes[1] == p->pixels + uint64_t{pitch} * bh && uintptr_t(planes[1]) % 64 == 0 && uintptr_t(planes[2]) % 32 == 0);
        for (int i = 0; i < 3; i++) {  // each pixel its plane's number, row and column
            unsigned char *start = static_cast<unsigned char *>(planes[i]);
            uint32_t rows = i ? (bh + 1) / 2 : bh, step = i ? pitch / 2 : pitch;
            for (uint32_t r = 0; r < rows; r++)
                for (uint32_t c = 0; c < step; c++)
                    start[uint64_t{r} * step + c] = uint8_t(i * 64 + r + c);
        }
        pictures_unlock(p), show(p, 7);
        frame f = next_frame();
        uint64_t luma = uint64_t{pitch} * h, chroma = uint64_t{pitch / 2} * ((h + 1) / 2);
        ASSERT_EQ(std::pair(at(f, FRAME_OFF_PITCH, 4), f.size()), std::pair(uint64_t{pitch}, size_t(60 + luma + 2 * chroma)));
        // The visible picture's corners: first pixel of each plane, last of the Y plane.
        EXPECT_EQ(std::tuple(f[60], f[60 + luma - pitch + w - 1], f[60 + luma], f[60 + luma + chroma]),
                  std::tuple(uint8_t(y + x), uint8_t(y + h - 1 + x + w - 1), uint8_t(64 + y / 2 + x / 2), uint8_t(128 + y / 2 + x / 2)))
            << w << "x" << h << " in " << bw << "x" << bh;
    }
    picture_shape shape;
    EXPECT_EQ(std::tuple(shape_packed(2, 3, 3, &shape), shape_decoded(640, 360, 640, 359, 0, 0, &shape),
                         shape_decoded(640, 360, 640, 368, 1, 9, &shape), shape_decoded(320, 180, 352, 180, 0, 0, &shape)),
              std::tuple(-1, -1, -1, -1));
}

// A host that closes the pipe ends the process with status 0; a closed fd 3 is
// refused at start.
TEST_F(FramePipeDeathTest, HostClosingThePipeOrAClosedFd3) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT((close(host_fd), show(setup(2, 2) == 0 ? decode() : nullptr, 1), sleep(5), _exit(1)),
                ::testing::ExitedWithCode(0), "");  // the writer ends the process well before the 5 s
    EXPECT_EXIT((close(3), _exit(frames_start(1) == -1 && frames_start(0) == 0 ? 7 : 1)), ::testing::ExitedWithCode(7), "");
}
