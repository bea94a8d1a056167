// The picture pool and the frame pipe, driven as the video callbacks drive
// them, with fd 3 a real pipe whose other end the test reads as the host.
#include "frames.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
// The out-of-memory test needs failed allocations returned, not reported.
extern "C" const char *__asan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace {

using clk = std::chrono::steady_clock;
using namespace std::chrono_literals;

int host_fd = -1;  // the host's end of the frame pipe
uint64_t gen;      // the pipe's generation; each test moves it on

// Puts a pipe on fd 3 and starts the writer, once per process.
struct PipeOnFd3 : ::testing::Environment {
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);  // as the engine does
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        host_fd = fcntl(fds[0], F_DUPFD_CLOEXEC, 10);
        close(fds[0]);
        if (fds[1] != 3) {
            ASSERT_EQ(dup2(fds[1], 3), 3);
            close(fds[1]);
        }
        ASSERT_EQ(frames_start(1), 0);
    }
};
const auto *pipe_env = ::testing::AddGlobalTestEnvironment(new PipeOnFd3);

uint64_t num(const unsigned char *at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; i--)
        v = v << 8 | at[i];
    return v;
}

int64_t wall_us() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// Waits up to 5 seconds for the writer to be done with every picture.
bool await_idle() {
    for (auto end = clk::now() + 5s; clk::now() < end; std::this_thread::sleep_for(1ms))
        if (frames_backlog() == 0)
            return true;
    return false;
}

bool host_readable(int ms) {
    pollfd p{host_fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

bool read_all(unsigned char *b, size_t n) {
    while (n > 0) {
        ssize_t got = host_readable(5000) ? read(host_fd, b, n) : -1;
        if (got <= 0)
            return false;
        b += got;
        n -= size_t(got);
    }
    return true;
}

struct frame {
    unsigned char h[FRAME_HEADER_BYTES];
    std::vector<unsigned char> pixels;
    uint64_t at(int off, int bytes = 8) const { return num(h + off, bytes); }
};

// The next frame on the pipe, within 5 seconds.
frame next_frame() {
    frame f{};
    EXPECT_TRUE(read_all(f.h, sizeof f.h)) << "no frame header";
    f.pixels.resize(f.at(FRAME_OFF_PITCH, 4) * f.at(FRAME_OFF_HEIGHT, 4));
    EXPECT_TRUE(read_all(f.pixels.data(), f.pixels.size())) << "pixels cut short";
    return f;
}

// Reads and discards until the writer is idle and the pipe empty.
void drain() {
    static unsigned char sink[1 << 16];
    for (auto end = clk::now() + 5s; clk::now() < end;) {
        bool was_idle = frames_backlog() == 0;
        if (host_readable(10))
            (void)!read(host_fd, sink, sizeof sink);
        else if (was_idle)
            return;
    }
    ADD_FAILURE() << "frame pipe did not drain";
}

struct Pool : ::testing::Test {
    pictures pool{};
    std::atomic<int> mark{0};

    void SetUp() override { frames_generation(++gen); }
    void TearDown() override {
        pictures_free(&pool);
        drain();
    }
    picture *lock() {
        void *planes[1] = {nullptr};
        picture *p = pictures_lock(&pool, planes);
        EXPECT_EQ(planes[0], p ? p->pixels : nullptr);
        return p;
    }
    // One decoded picture, given back by the decoder.
    // A picture decoded and given back; each shows something new.
    picture *decode() {
        static uint64_t painted;
        picture *p = lock();
        painted++;
        memcpy(p->pixels, &painted, sizeof painted);
        pictures_unlock(p);
        return p;
    }
    // n distinct pictures, all given back by the decoder.
    std::vector<picture *> decode_n(int n) {
        std::vector<picture *> got;
        for (int i = 0; i < n; i++)
            got.push_back(lock());
        for (picture *p : got)
            pictures_unlock(p);
        return got;
    }
    void show(picture *p, int64_t pts_us, int paused = 0) {
        pictures_show(&pool, p, gen, paused, &mark, pts_us);
    }
    // A 1920x1080 picture whose 8 MB the writer cannot get rid of until the
    // host reads: the writer is busy with it on return.
    picture *stall_writer() {
        EXPECT_EQ(pictures_setup(&pool, 1920, 1080), 0);
        picture *p = decode();
        show(p, 1);
        EXPECT_TRUE(host_readable(5000));
        return p;
    }
};

using FramePipe = Pool;
using FramePipeDeathTest = Pool;

TEST_F(Pool, SizesRowsTo64BytesAndRefusesEmptyOrAbsurdSizes) {
    struct {
        uint32_t w, h;
        int result;
        uint32_t pitch;
    } const cases[] = {
        {1920, 1080, 0, 1920 * 4}, {1281, 721, 0, 81 * 64}, {2, 2, 0, 64},
        {270, 1080, 0, 17 * 64},   {16384, 1, 0, 65536},    {0, 10, -1, 0},
        {10, 0, -1, 0},            {16385, 1, -1, 0},       {1, 16385, -1, 0},
        {UINT32_MAX, UINT32_MAX, -1, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
        pictures p{};
        ASSERT_EQ(pictures_setup(&p, 64, 48), 0);
        EXPECT_EQ(pictures_setup(&p, c.w, c.h), c.result);
        void *planes[1];
        picture *got = pictures_lock(&p, planes);
        ASSERT_NE(got, nullptr);
        if (c.result == 0) {
            EXPECT_EQ(p.pitch, c.pitch);
            EXPECT_EQ(got->width, c.w);
            EXPECT_EQ(got->height, c.h);
            EXPECT_EQ(got->pitch, c.pitch);
        } else {  // the previous format stays
            EXPECT_EQ(got->width, 64u);
            EXPECT_EQ(got->pitch, 256u);
        }
        EXPECT_EQ(uintptr_t(got->pixels) % 64, 0u);
        pictures_free(&p);
    }
}

TEST_F(Pool, WithoutFormatHandsOutNothing) {
    void *planes[1] = {&mark};
    EXPECT_EQ(pictures_lock(&pool, planes), nullptr);
    EXPECT_EQ(planes[0], &mark);
    pictures_free(&pool);
    EXPECT_EQ(pictures_lock(&pool, planes), nullptr);
    ASSERT_EQ(pictures_setup(&pool, 4, 4), 0);
    pictures_free(&pool);
    EXPECT_EQ(pictures_lock(&pool, planes), nullptr);
}

TEST_F(Pool, LockTakesLowestFreeSlotButNeverTheShownOne) {
    ASSERT_EQ(pictures_setup(&pool, 2, 2), 0);
    picture *a = lock();
    picture *b = lock();  // slot 0 is still held
    EXPECT_EQ(pool.slots[0], a);
    EXPECT_EQ(pool.slots[1], b);
    pictures_unlock(a);
    pictures_unlock(b);
    show(a, 1);
    drain();
    EXPECT_EQ(decode(), b);
    EXPECT_EQ(decode(), b);
    show(b, 2);
    drain();
    EXPECT_EQ(decode(), a);
    EXPECT_EQ(pool.count, 2);
}

TEST_F(Pool, AllSlotsBusyServesTheOneOverflowEvenWhileHeld) {
    ASSERT_EQ(pictures_setup(&pool, 2, 2), 0);
    for (int i = 0; i < POOL_SLOTS; i++)
        EXPECT_NE(lock(), pool.overflow);
    EXPECT_EQ(pool.count, POOL_SLOTS);
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(lock(), pool.overflow);
    EXPECT_EQ(pool.count, POOL_SLOTS);
    // Held twice, it survives a new format until the last hold ends.
    picture *over = pool.overflow;
    pictures_unlock(over);
    ASSERT_EQ(pictures_setup(&pool, 2, 2), 0);
    EXPECT_EQ(pool.retired_count, POOL_SLOTS + 1);
    pictures_unlock(over);
    EXPECT_EQ(over->locked, 1);
}

TEST_F(Pool, RetiredListDoublesWhileTheDecoderHoldsPictures) {
    for (int cap : {64, 128, 256}) {
        ASSERT_EQ(pictures_setup(&pool, 2, 2), 0);
        for (int i = 0; i <= POOL_SLOTS; i++)
            lock();
        ASSERT_EQ(pictures_setup(&pool, 2, 2), 0);
        EXPECT_EQ(pool.retired_cap, cap);
    }
    EXPECT_EQ(pool.retired_count, 3 * (POOL_SLOTS + 1));
    pictures_free(&pool);
    EXPECT_EQ(pool.retired, nullptr);
    EXPECT_EQ(pool.retired_count, 0);
    EXPECT_EQ(pool.retired_cap, 0);
}

// Each format ends with one picture held by the decoder: only that one stays
// retired, is never handed out again, and goes at the next format.
TEST_F(Pool, NewFormatsKeepOnlyRetiredPicturesStillHeld) {
    picture *held = nullptr;
    for (int i = 0; i < 1000; i++) {
        ASSERT_EQ(pictures_setup(&pool, i % 2 ? 640 : 320, i % 2 ? 360 : 240), 0);
        EXPECT_EQ(pool.count, 0);
        EXPECT_EQ(pool.shown, nullptr);
        ASSERT_EQ(pool.retired_count, held ? 1 : 0) << "format " << i;
        ASSERT_TRUE(!held || pool.retired[0] == held);
        pictures_unlock(held);
        ASSERT_NE(decode(), held);
        held = lock();
    }
    EXPECT_LE(pool.retired_cap, 64);
}

// With memory capped below two 256 MB buffers, the first buffer after the
// overflow cannot be made and a 1 GB format cannot be had at all. Exits 0
// when the pool copes, with another status naming the step that failed.
[[noreturn]] void short_memory(pictures *pool) {
    long pages = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (!f || fscanf(f, "%ld", &pages) != 1)
        _exit(10);
    fclose(f);
    rlim_t room = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + (rlim_t{384} << 20);
    rlimit lim{room, room};
    if (setrlimit(RLIMIT_AS, &lim) != 0)
        _exit(11);
    if (pictures_setup(pool, 8192, 8192) != 0)
        _exit(12);
    void *planes[1];
    picture *p = pictures_lock(pool, planes);
    if (p != pool->overflow || !p->pixels || planes[0] != p->pixels)
        _exit(13);
    if (pictures_setup(pool, 16384, 16384) != -1 || pool->overflow != p || pool->width != 8192)
        _exit(14);
    _exit(0);
}

TEST_F(FramePipeDeathTest, ShortMemoryServesOverflowAndRefusesFormat) {
#ifdef __SANITIZE_THREAD__
    GTEST_SKIP() << "ThreadSanitizer's shadow memory does not fit an address-space limit";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(short_memory(&pool), ::testing::ExitedWithCode(0), "");
}

TEST_F(FramePipe, HeaderAndPixelsMatchTheWireLayout) {
    struct {
        uint32_t w, h;
        unsigned char head[20];
    } const cases[] = {
        {1920, 1080, {0x56, 0x58, 0x46, 0x52, 0x80, 0x07, 0, 0, 0x38, 0x04, 0, 0, 0x00, 0x1E, 0, 0, 'b', 'g', 'r', '0'}},
        {1281, 721, {0x56, 0x58, 0x46, 0x52, 0x01, 0x05, 0, 0, 0xD1, 0x02, 0, 0, 0x40, 0x14, 0, 0, 'b', 'g', 'r', '0'}},
    };
    const unsigned char pts[8] = {0x60, 0xE3, 0x16, 0, 0, 0, 0, 0};  // 1500 ms
    for (const auto &c : cases) {
        SCOPED_TRACE(c.w);
        ASSERT_EQ(pictures_setup(&pool, c.w, c.h), 0);
        picture *p = decode();
        size_t bytes = size_t{p->pitch} * c.h;
        for (size_t i = 0; i < bytes; i++)
            p->pixels[i] = static_cast<unsigned char>(i * 7 + i / 4096);
        int64_t before = wall_us();
        show(p, 1500000);
        frame f = next_frame();
        EXPECT_EQ(memcmp(f.h, c.head, 20), 0);
        EXPECT_EQ(memcmp(f.h + FRAME_OFF_PTS_US, pts, 8), 0);
        EXPECT_GE(int64_t(f.at(FRAME_OFF_WALL_US)), before);
        EXPECT_LE(int64_t(f.at(FRAME_OFF_WALL_US)), wall_us());
        EXPECT_EQ(f.at(FRAME_OFF_GENERATION), gen);
        EXPECT_EQ(f.at(FRAME_OFF_FLAGS, 4), 0u);
        EXPECT_EQ(f.at(FRAME_OFF_RESERVED, 4), 0u);
        ASSERT_EQ(f.pixels.size(), bytes);
        EXPECT_EQ(memcmp(f.pixels.data(), p->pixels, bytes), 0);
        drain();
    }
}

TEST_F(FramePipe, SeqRunsOnAcrossGenerationsAndSkipsNothingSent) {
    ASSERT_EQ(pictures_setup(&pool, 2, 2), 0);
    show(decode(), 1);
    frame first = next_frame();
    pictures next{};
    ASSERT_EQ(pictures_setup(&next, 4, 4), 0);
    frames_generation(++gen);
    pictures_show(&pool, decode(), gen - 1, 0, &mark, 2);  // replaced player: dropped at once
    void *planes[1];
    picture *p = pictures_lock(&next, planes);
    pictures_unlock(p);
    pictures_show(&next, p, gen, 0, &mark, 3);
    frame second = next_frame();
    EXPECT_EQ(second.at(FRAME_OFF_PTS_US), 3u);
    EXPECT_EQ(second.at(FRAME_OFF_GENERATION), gen);
    EXPECT_EQ(second.at(FRAME_OFF_SEQ), first.at(FRAME_OFF_SEQ) + 1);
    pictures_free(&next);
}

// The pool is freed (its player is gone) while one picture is being written
// and another waits: both are orphaned, finished by the writer and freed by
// it; the waiting one is written unless its generation has passed, and then
// it uses up no seq.
TEST_F(FramePipe, QueuedPicturesOfFreedPoolAreFinishedByTheWriter) {
    for (bool replaced : {false, true}) {
        SCOPED_TRACE(replaced);
        stall_writer();
        picture *waiting = decode();
        show(waiting, 2);
        if (replaced)
            frames_generation(++gen);
        pictures_free(&pool);  // both now belong to the writer, which frees them
        frame last = next_frame();  // begun, so finished whatever the generation
        EXPECT_EQ(last.at(FRAME_OFF_PTS_US), 1u);
        if (!replaced) {
            EXPECT_EQ(next_frame().at(FRAME_OFF_PTS_US), 2u);
        }
        ASSERT_TRUE(await_idle());
        ASSERT_EQ(pictures_setup(&pool, 2, 2), 0);
        show(decode(), 3);
        EXPECT_EQ(next_frame().at(FRAME_OFF_SEQ), last.at(FRAME_OFF_SEQ) + (replaced ? 1 : 2));
        drain();
    }
}

TEST_F(FramePipe, PictureOfEarlierFormatIsSentWithItsOwnSize) {
    ASSERT_EQ(pictures_setup(&pool, 4, 3), 0);
    picture *old = lock();
    ASSERT_EQ(pictures_setup(&pool, 640, 480), 0);
    pictures_unlock(old);
    show(old, 1);
    frame f = next_frame();
    EXPECT_EQ(f.at(FRAME_OFF_WIDTH, 4), 4u);
    EXPECT_EQ(f.at(FRAME_OFF_HEIGHT, 4), 3u);
    EXPECT_EQ(f.at(FRAME_OFF_PITCH, 4), 64u);
    EXPECT_EQ(f.pixels.size(), 64u * 3);
}

// Each case leaves picture x unsent with the mark set; the mark must reach
// the next picture that is sent, and x must not appear on the pipe.
TEST_F(FramePipe, PictureNotQueuedHandsTheMarkOnToTheNextFrameSent) {
    enum { OVERFLOW, FOURTH, AGAIN_WHILE_QUEUED, AGAIN_WHILE_WRITTEN };
    for (int c : {OVERFLOW, FOURTH, AGAIN_WHILE_QUEUED, AGAIN_WHILE_WRITTEN}) {
        SCOPED_TRACE(c);
        picture *busy = stall_writer();
        picture *x = pool.overflow;
        int queued = 1;
        if (c == FOURTH) {
            show(decode(), 2);
            show(decode(), 3);
            x = decode();
            queued = 3;
        } else if (c == AGAIN_WHILE_QUEUED) {
            x = decode();
            show(x, 2);
            queued = 2;
        } else if (c == AGAIN_WHILE_WRITTEN) {
            x = busy;
        }
        ASSERT_EQ(frames_backlog(), queued);
        mark = FRAME_LANDED;
        show(x, 99);
        EXPECT_EQ(mark.load(), int(FRAME_LANDED));
        EXPECT_EQ(frames_backlog(), queued);
        for (int i = 1; i <= queued; i++) {
            frame f = next_frame();
            EXPECT_EQ(f.at(FRAME_OFF_PTS_US), uint64_t(i)) << "header rewritten";
            EXPECT_EQ(f.at(FRAME_OFF_FLAGS, 4), 0u);
        }
        ASSERT_TRUE(await_idle());
        show(decode(), 100);
        frame landed = next_frame();
        EXPECT_EQ(landed.at(FRAME_OFF_PTS_US), 100u);
        EXPECT_EQ(landed.at(FRAME_OFF_FLAGS, 4), FRAME_LANDED);
        EXPECT_EQ(mark.load(), 0);
        drain();
    }
}

// While paused the library redraws the still into fresh buffers: a picture
// is sent only when its pixels (not its row padding) differ from the shown
// one, or when a landing's mark waits; while a paused seek is under way,
// only with the mark. Either way it becomes the shown one, so the older
// buffer goes back to the decoder; playing, it is sent anew.
TEST_F(FramePipe, PausedRedrawsAreNotSentButNewPicturesAndLandingsAre) {
    enum { SAME_BUFFER, EQUAL_PIXELS, PADDING_DIFFERS, PIXEL_DIFFERS, SIZE_DIFFERS };
    const struct {
        int c, how;
        bool marked, sent;
    } cases[] = {
        {SAME_BUFFER, SHOW_PAUSED, false, false},   {EQUAL_PIXELS, SHOW_PAUSED, false, false},
        {PADDING_DIFFERS, SHOW_PAUSED, false, false}, {PIXEL_DIFFERS, SHOW_PAUSED, false, true},
        {SIZE_DIFFERS, SHOW_PAUSED, false, true},   {PIXEL_DIFFERS, SHOW_PAUSED, true, true},
        {PIXEL_DIFFERS, SHOW_PAUSED_SEEKING, false, false}, {PIXEL_DIFFERS, SHOW_PAUSED_SEEKING, true, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.c << " " << c.how << " " << c.marked);
        ASSERT_EQ(pictures_setup(&pool, 3, 2), 0);  // rows of 12 bytes in 64
        picture *p = decode();
        memset(p->pixels, 0x5a, 128);
        show(p, 1);
        next_frame();
        picture *x = c.c == SAME_BUFFER ? p : decode();
        if (c.c == SIZE_DIFFERS) {
            ASSERT_EQ(pictures_setup(&pool, 3, 1), 0);  // a new format while paused
            x = decode();
        }
        if (x != p)
            memset(x->pixels, 0x5a, size_t{x->pitch} * x->height);
        if (c.c == PADDING_DIFFERS)
            x->pixels[64 + 40] ^= 1;
        if (c.c == PIXEL_DIFFERS)
            x->pixels[64 + 11] ^= 1;
        if (c.marked)
            mark = FRAME_LANDED;
        show(x, 2, c.how);
        EXPECT_EQ(pool.shown, x);
        if (c.sent) {
            frame f = next_frame();
            EXPECT_EQ(f.at(FRAME_OFF_PTS_US), 2u);
            EXPECT_EQ(f.at(FRAME_OFF_FLAGS, 4), c.marked ? FRAME_LANDED : 0u);
        } else {
            EXPECT_FALSE(host_readable(50)) << "a redraw was sent";
        }
        if (x != p && c.c != SIZE_DIFFERS) {
            picture *again = decode();
            EXPECT_EQ(again, p) << "the older buffer went back to the decoder";
        }
        ASSERT_TRUE(await_idle());
        show(x, 3);
        EXPECT_EQ(next_frame().at(FRAME_OFF_PTS_US), 3u);
        drain();
    }
}

// A landing's mark passes over redraws of the still from before the seek
// (sent unflagged while playing, not at all while paused) and goes with the
// first picture that differs, or, for a scene that never changes, with the
// redraw after MARK_PATIENCE of them.
TEST_F(FramePipe, LandingMarkPassesOverRedrawsOfTheOldStillForAWhile) {
    for (int how : {SHOW_PLAYING, SHOW_PAUSED})
        for (bool changes : {true, false}) {
            SCOPED_TRACE(testing::Message() << how << " " << changes);
            ASSERT_EQ(pictures_setup(&pool, 4, 2), 0);
            picture *old = decode();
            show(old, 1);
            next_frame();
            mark = FRAME_LANDED;
            int n = 2;
            for (; n < 2 + MARK_PATIENCE; n++) {
                picture *redraw = decode();
                memcpy(redraw->pixels, old->pixels, size_t{old->pitch} * old->height);
                show(redraw, n, how);
                old = redraw;
                if (how == SHOW_PLAYING) {
                    ASSERT_EQ(next_frame().at(FRAME_OFF_FLAGS, 4), 0u) << "redraw " << n << " took the mark";
                }
            }
            if (how == SHOW_PAUSED) {
                EXPECT_FALSE(host_readable(50)) << "a paused redraw was sent";
            }
            picture *next = decode();
            if (!changes)
                memcpy(next->pixels, old->pixels, size_t{old->pitch} * old->height);
            show(next, n, how);
            frame f = next_frame();
            EXPECT_EQ(f.at(FRAME_OFF_FLAGS, 4), FRAME_LANDED);
            EXPECT_EQ(f.at(FRAME_OFF_PTS_US), uint64_t(n));
            EXPECT_EQ(mark.load(), 0);
            drain();
        }
}

TEST_F(FramePipe, StalledHostNeverHoldsUpTheDisplay) {
    stall_writer();
    auto more = decode_n(4);
    picture *b = more[0], *c = more[1], *d = more[2], *e = more[3];
    show(b, 2);
    show(c, 3);
    auto start = clk::now();
    for (int i = 0; i < 1000; i++)
        show(i % 2 ? d : e, 4 + i);
    EXPECT_LT(clk::now() - start, 500ms);
    EXPECT_EQ(frames_backlog(), FRAME_QUEUE);
    EXPECT_EQ(d->queued + e->queued, 0);
}

TEST_F(FramePipeDeathTest, HostClosingThePipeEndsTheProcessWithStatusZero) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (pictures_setup(&pool, 2, 2) != 0)
                _exit(2);
            close(host_fd);
            show(decode(), 1);
            std::this_thread::sleep_for(5s);  // the writer should end the process well before
            _exit(1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(FramePipeDeathTest, StartRefusesAClosedFd3) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            close(3);
            _exit(frames_start(1) == -1 ? 7 : 1);
        },
        ::testing::ExitedWithCode(7), "");
}

}  // namespace
