/* Throughput of the libraries behind the updater's hot loops, on buffers in memory:
 * MD5 and SHA-256 (nettle against libcrypto's EVP interface) and the inflate of gzip
 * files made at the publisher's level 9 (zlib's streaming inflate, ISA-L's streaming
 * isal_inflate and libdeflate's whole-buffer gzip decompression).
 *
 * The data is made here from a fixed seed: text-like buffers (words, numbers, line
 * breaks, as bench/gen_product.py writes the even-numbered files) and random ones, of
 * single sizes from 1 KiB to 1 MiB, and a mix whose sizes are log-distributed between
 * 1 KiB and 1 MiB, half text-like and half random, as the 2000-file product's files are.
 * Each library works on each buffer as the updater would on a file: a digest is started,
 * fed and finished per buffer; an inflate decodes one gzip member per buffer in 256 KiB
 * output pieces (whole buffers for libdeflate), its state reused from buffer to buffer.
 *
 * Times are the thread's CPU time (CLOCK_THREAD_CPUTIME_ID), steadier than wall time on a
 * shared machine; each figure is the best of --reps measurements of at least 20 ms each.
 * Throughput is in MB/s (10^6 bytes) of the digested input or of the inflated output.
 * Every library's result is compared with the others' (digests) or with the original
 * bytes (inflate) before it is timed: a mismatch ends the program with status 1.
 *
 *   libs [--reps N] [--quick]       prints a markdown table on standard output
 */
#include <isa-l.h>
#include <libdeflate.h>
#include <math.h>
#include <nettle/md5.h>
#include <nettle/sha2.h>
#include <openssl/evp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zlib.h>

#define KIB 1024u
#define MIB (1024u * 1024u)
#define POOL (8u * MIB)    /* bytes of each kind the single-size sets are cut from */
#define PIECE (256u * KIB) /* the updater's inflate piece */

struct set {
    const char* name;
    size_t count;
    unsigned char** data; /* the original buffers */
    size_t* size;
    unsigned char** gz; /* each buffer gzip-compressed at level 9 */
    size_t* gzsize;
    size_t total;
};

static uint64_t rng_state = 0x9e3779b97f4a7c15ull;
static uint64_t rng(void) {
    rng_state ^= rng_state << 13;
    rng_state ^= rng_state >> 7;
    rng_state ^= rng_state << 17;
    return rng_state;
}

static void* xmalloc(size_t n) {
    void* p = malloc(n ? n : 1);
    if (!p) {
        fprintf(stderr, "libs: out of memory\n");
        exit(1);
    }
    return p;
}

static void fail(const char* what) {
    fprintf(stderr, "libs: %s\n", what);
    exit(1);
}

static void fill_random(unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; i += 8) {
        uint64_t v = rng();
        memcpy(p + i, &v, n - i < 8 ? n - i : 8);
    }
}

static void fill_text(unsigned char* p, size_t n) {
    static const char* words[] = {
        "update",  "module",     "server",  "index",   "digest",   "install",  "backup",
        "restore", "product",    "version", "file",    "download", "check",    "verify",
        "archive", "gzip",       "stream",  "config",  "record",   "entry",    "value",
        "option",  "path",       "system",  "library", "plugin",   "progress", "network",
        "proxy",   "connection", "retry",   "timeout", "buffer",   "memory",   "piece",
        "length",  "header",     "payload", "result",  "error",    "status",   "report"};
    size_t at = 0;
    while (at < n) {
        char line[256];
        int len = 0, words_in_line = 4 + (int)(rng() % 10);
        for (int w = 0; w < words_in_line; ++w) {
            if (w) line[len++] = ' ';
            if (rng() % 100 < 85)
                len += sprintf(line + len, "%s", words[rng() % (sizeof words / sizeof *words)]);
            else
                len += sprintf(line + len, "%u", (unsigned)(rng() % 1000000));
        }
        line[len++] = '\n';
        size_t take = (size_t)len < n - at ? (size_t)len : n - at;
        memcpy(p + at, line, take);
        at += take;
    }
}

/* gzip at level 9 with zlib's defaults, as the publisher's gzwrite makes its files. */
static unsigned char* gzip9(const unsigned char* in, size_t n, size_t* out_n) {
    z_stream z;
    memset(&z, 0, sizeof z);
    if (deflateInit2(&z, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        fail("deflateInit2");
    size_t cap = deflateBound(&z, n) + 32;
    unsigned char* out = xmalloc(cap);
    z.next_in = (unsigned char*)in;
    z.avail_in = (uInt)n;
    z.next_out = out;
    z.avail_out = (uInt)cap;
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) fail("deflate");
    *out_n = cap - z.avail_out;
    deflateEnd(&z);
    return out;
}

static void set_alloc(struct set* s, const char* name, size_t count) {
    s->name = name;
    s->count = count;
    s->data = xmalloc(count * sizeof *s->data);
    s->size = xmalloc(count * sizeof *s->size);
    s->gz = xmalloc(count * sizeof *s->gz);
    s->gzsize = xmalloc(count * sizeof *s->gzsize);
    s->total = 0;
}

static void set_add(struct set* s, size_t i, unsigned char* data, size_t n) {
    s->data[i] = data;
    s->size[i] = n;
    s->gz[i] = gzip9(data, n, &s->gzsize[i]);
    s->total += n;
}

/* Buffers of one size and kind, distinct slices of a pool of that kind. */
static void make_single(struct set* s, const char* name, const unsigned char* pool, size_t size,
                        size_t bytes) {
    size_t count = bytes / size;
    set_alloc(s, name, count);
    for (size_t i = 0; i < count; ++i) {
        unsigned char* p = xmalloc(size);
        memcpy(p, pool + (i * size) % (POOL - size + 1), size);
        set_add(s, i, p, size);
    }
}

/* The product's mix: log-distributed sizes, even buffers text-like, odd ones random. */
static void make_mix(struct set* s, size_t count) {
    set_alloc(s, "mix", count);
    const double lo = log(1024.0), hi = log(1024.0 * 1024.0);
    for (size_t i = 0; i < count; ++i) {
        double u = (double)(rng() >> 11) / 9007199254740992.0;
        size_t n = (size_t)exp(lo + u * (hi - lo));
        unsigned char* p = xmalloc(n);
        if (i % 2)
            fill_random(p, n);
        else
            fill_text(p, n);
        set_add(s, i, p, n);
    }
}

/* ---- the operations: each processes one buffer, returns its bytes, or exits on a fault */

static unsigned char digest_out[64];
static unsigned char* out_buf;

static size_t md5_nettle(const struct set* s, size_t i) {
    struct md5_ctx c;
    md5_init(&c);
    md5_update(&c, s->size[i], s->data[i]);
    md5_digest(&c, MD5_DIGEST_SIZE, digest_out);
    return s->size[i];
}

static size_t sha256_nettle(const struct set* s, size_t i) {
    struct sha256_ctx c;
    sha256_init(&c);
    sha256_update(&c, s->size[i], s->data[i]);
    sha256_digest(&c, SHA256_DIGEST_SIZE, digest_out);
    return s->size[i];
}

static EVP_MD_CTX* evp_ctx;
static EVP_MD* evp_md5;
static EVP_MD* evp_sha256;

static size_t evp_digest(const EVP_MD* md, const struct set* s, size_t i) {
    unsigned int n = 0;
    if (!EVP_DigestInit_ex2(evp_ctx, md, NULL) ||
        !EVP_DigestUpdate(evp_ctx, s->data[i], s->size[i]) ||
        !EVP_DigestFinal_ex(evp_ctx, digest_out, &n))
        fail("EVP digest");
    return s->size[i];
}
static size_t md5_evp(const struct set* s, size_t i) {
    return evp_digest(evp_md5, s, i);
}
static size_t sha256_evp(const struct set* s, size_t i) {
    return evp_digest(evp_sha256, s, i);
}

static z_stream zs;
static size_t inflate_zlib(const struct set* s, size_t i) {
    if (inflateReset(&zs) != Z_OK) fail("inflateReset");
    size_t in_at = 0, total = 0;
    int rc = Z_OK;
    while (rc != Z_STREAM_END) {
        if (zs.avail_in == 0) {
            size_t n = s->gzsize[i] - in_at < PIECE ? s->gzsize[i] - in_at : PIECE;
            if (n == 0) fail("zlib: truncated");
            zs.next_in = s->gz[i] + in_at;
            zs.avail_in = (uInt)n;
            in_at += n;
        }
        zs.next_out = out_buf + total;
        zs.avail_out = PIECE;
        rc = inflate(&zs, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) fail("zlib inflate");
        total += PIECE - zs.avail_out;
    }
    return total;
}

static struct inflate_state* is;
static size_t inflate_isal(const struct set* s, size_t i) {
    isal_inflate_reset(is);
    is->crc_flag = ISAL_GZIP;
    size_t in_at = 0, total = 0;
    while (is->block_state != ISAL_BLOCK_FINISH) {
        if (is->avail_in == 0) {
            size_t n = s->gzsize[i] - in_at < PIECE ? s->gzsize[i] - in_at : PIECE;
            if (n == 0) fail("isal: truncated");
            is->next_in = s->gz[i] + in_at;
            is->avail_in = (uint32_t)n;
            in_at += n;
        }
        is->next_out = out_buf + total;
        is->avail_out = PIECE;
        if (isal_inflate(is) != ISAL_DECOMP_OK) fail("isal_inflate");
        total += PIECE - is->avail_out;
    }
    return total;
}

static struct libdeflate_decompressor* ld;
static size_t inflate_libdeflate(const struct set* s, size_t i) {
    size_t n = 0;
    if (libdeflate_gzip_decompress(ld, s->gz[i], s->gzsize[i], out_buf, MIB + PIECE, &n) !=
        LIBDEFLATE_SUCCESS)
        fail("libdeflate_gzip_decompress");
    return n;
}

/* ---- measuring ------------------------------------------------------------------------ */

static double cpu_now(void) {
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

typedef size_t (*op_fn)(const struct set*, size_t);

/* MB/s: the best of `reps` measurements, each as many passes over the set as fill the minimum time.
 */
static double measure(op_fn op, const struct set* s, int reps, double min_seconds) {
    double best = 0;
    for (int r = 0; r < reps; ++r) {
        double start = cpu_now(), elapsed = 0;
        size_t bytes = 0;
        for (int pass = 0; pass < 100000 && elapsed < min_seconds; ++pass) {
            for (size_t i = 0; i < s->count; ++i) bytes += op(s, i);
            elapsed = cpu_now() - start;
        }
        double rate = bytes / elapsed / 1e6;
        if (rate > best) best = rate;
    }
    return best;
}

/* Each library's digest of every buffer equals the other's; each inflate gives the bytes. */
static void verify(const struct set* s) {
    for (size_t i = 0; i < s->count; ++i) {
        unsigned char a[32];
        md5_nettle(s, i);
        memcpy(a, digest_out, 16);
        md5_evp(s, i);
        if (memcmp(a, digest_out, 16)) fail("MD5 digests differ");
        sha256_nettle(s, i);
        memcpy(a, digest_out, 32);
        sha256_evp(s, i);
        if (memcmp(a, digest_out, 32)) fail("SHA-256 digests differ");
        op_fn inflaters[] = {inflate_zlib, inflate_isal, inflate_libdeflate};
        for (int k = 0; k < 3; ++k) {
            memset(out_buf, 0, s->size[i]);
            if (inflaters[k](s, i) != s->size[i] || memcmp(out_buf, s->data[i], s->size[i]))
                fail("an inflate gave other bytes");
        }
    }
}

struct row {
    const char* what;
    const char* library;
    op_fn op;
    int kind; /* 0: any data (digests), 1: text-like, 2: random */
};

static const char* cpu_features(void) {
    static char line[128];
    FILE* f = fopen("/proc/cpuinfo", "re");
    char buf[8192];
    int sha = 0, avx2 = 0, avx512 = 0;
    while (f && fgets(buf, sizeof buf, f)) {
        if (strncmp(buf, "flags", 5)) continue;
        sha = strstr(buf, " sha_ni") != NULL;
        avx2 = strstr(buf, " avx2") != NULL;
        avx512 = strstr(buf, " avx512f") != NULL;
        break;
    }
    if (f) fclose(f);
    snprintf(line, sizeof line, "SHA extensions %s, AVX2 %s, AVX-512 %s", sha ? "yes" : "no",
             avx2 ? "yes" : "no", avx512 ? "yes" : "no");
    return line;
}

int main(int argc, char** argv) {
    int reps = 5, quick = 0;
    for (int a = 1; a < argc; ++a) {
        if (!strcmp(argv[a], "--reps") && a + 1 < argc)
            reps = atoi(argv[++a]);
        else if (!strcmp(argv[a], "--quick"))
            quick = 1;
        else {
            fprintf(stderr, "usage: libs [--reps N] [--quick]\n");
            return 2;
        }
    }
    if (reps < 1) reps = 1;
    const double min_seconds = quick ? 0.002 : 0.02;
    const size_t bytes = quick ? 256 * KIB : 4 * MIB;

    unsigned char* text = xmalloc(POOL);
    unsigned char* random = xmalloc(POOL);
    fill_text(text, POOL);
    fill_random(random, POOL);
    static const size_t sizes[] = {1 * KIB, 8 * KIB, 64 * KIB, 256 * KIB, 1 * MIB};
    static const char* size_names[] = {"1 KiB", "8 KiB", "64 KiB", "256 KiB", "1 MiB"};
    enum { NSIZES = 5 };
    struct set sets[2][NSIZES], mix;
    for (int k = 0; k < 2; ++k)
        for (int z = 0; z < NSIZES; ++z)
            make_single(&sets[k][z], size_names[z], k ? random : text, sizes[z],
                        bytes > sizes[z] ? bytes : sizes[z]);
    make_mix(&mix, quick ? 8 : 128);

    out_buf = xmalloc(MIB + PIECE);
    evp_ctx = EVP_MD_CTX_new();
    evp_md5 = EVP_MD_fetch(NULL, "MD5", NULL);
    evp_sha256 = EVP_MD_fetch(NULL, "SHA256", NULL);
    if (!evp_ctx || !evp_md5 || !evp_sha256) fail("libcrypto has no MD5 or SHA-256");
    if (inflateInit2(&zs, 16 + MAX_WBITS) != Z_OK) fail("inflateInit2");
    is = xmalloc(sizeof *is);
    isal_inflate_init(is);
    ld = libdeflate_alloc_decompressor();
    if (!ld) fail("libdeflate_alloc_decompressor");

    for (int k = 0; k < 2; ++k)
        for (int z = 0; z < NSIZES; ++z) verify(&sets[k][z]);
    verify(&mix);

    static const struct row rows[] = {
        {"MD5", "nettle", md5_nettle, 0},
        {"MD5", "libcrypto (EVP)", md5_evp, 0},
        {"SHA-256", "nettle", sha256_nettle, 0},
        {"SHA-256", "libcrypto (EVP)", sha256_evp, 0},
        {"inflate, text-like", "zlib", inflate_zlib, 1},
        {"inflate, text-like", "ISA-L (isal_inflate)", inflate_isal, 1},
        {"inflate, text-like", "libdeflate (whole buffer)", inflate_libdeflate, 1},
        {"inflate, random", "zlib", inflate_zlib, 2},
        {"inflate, random", "ISA-L (isal_inflate)", inflate_isal, 2},
        {"inflate, random", "libdeflate (whole buffer)", inflate_libdeflate, 2},
        {"inflate, the mix", "zlib", inflate_zlib, 3},
        {"inflate, the mix", "ISA-L (isal_inflate)", inflate_isal, 3},
        {"inflate, the mix", "libdeflate (whole buffer)", inflate_libdeflate, 3},
    };
    printf(
        "MB/s (10^6 bytes of input digested, or of output inflated) per thread CPU second, "
        "best of %d; %s; gzip files made by zlib at level 9; zlib %s, ISA-L %d.%d, "
        "libdeflate %s.\n\n",
        reps, cpu_features(), zlibVersion(), ISAL_MAJOR_VERSION, ISAL_MINOR_VERSION,
        LIBDEFLATE_VERSION_STRING);
    printf("| Operation | Library |");
    for (int z = 0; z < NSIZES; ++z) printf(" %s |", size_names[z]);
    printf(" Mix 1 KiB-1 MiB |\n|---|---|");
    for (int z = 0; z <= NSIZES; ++z) printf("---|");
    printf("\n");
    for (size_t r = 0; r < sizeof rows / sizeof *rows; ++r) {
        printf("| %s | %s |", rows[r].what, rows[r].library);
        if (rows[r].kind == 3) {
            for (int z = 0; z < NSIZES; ++z) printf(" |");
        } else {
            for (int z = 0; z < NSIZES; ++z) {
                /* Digests see no difference between kinds: the text-like sets serve. */
                const struct set* s = &sets[rows[r].kind == 2][z];
                printf(" %.0f |", measure(rows[r].op, s, reps, min_seconds));
                fflush(stdout);
            }
        }
        if (rows[r].kind == 0 || rows[r].kind == 3)
            printf(" %.0f |\n", measure(rows[r].op, &mix, reps, min_seconds));
        else
            printf(" |\n");
        fflush(stdout);
    }
    return 0;
}
