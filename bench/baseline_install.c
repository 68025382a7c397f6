/* The fresh-install baseline: one libcurl handle (one connection) fetches every .gz file of
 * a list, and zlib inflates each one into its place as the bytes arrive. Nothing else: no
 * digest, no temporary copy, no check. With --sync, the files are on disk when it ends (one
 * syncfs of the destination's file system, what an installation that survives a power cut
 * pays at the least).
 *
 *     baseline_install [--sync] <files base URL> <list file> <destination directory>
 *
 * The list holds one "<module>/<path>" per line; "<base URL>/<module>/<path>.gz" goes to
 * "<destination>/<module>/<last component of path>". Exit status 0 when every file arrived
 * and inflated. */
#define _GNU_SOURCE /* syncfs */
#include <curl/curl.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

struct sink {
    z_stream z;
    FILE* out;
    int failed;
};

static size_t inflate_piece(char* data, size_t size, size_t n, void* user) {
    struct sink* s = user;
    unsigned char buf[1 << 16];
    s->z.next_in = (unsigned char*)data;
    s->z.avail_in = (uInt)(size * n);
    while (s->z.avail_in > 0 && !s->failed) {
        s->z.next_out = buf;
        s->z.avail_out = sizeof buf;
        int rc = inflate(&s->z, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) s->failed = 1;
        size_t have = sizeof buf - s->z.avail_out;
        if (have && fwrite(buf, 1, have, s->out) != have) s->failed = 1;
        if (rc == Z_STREAM_END) break;
    }
    return s->failed ? 0 : size * n;
}

int main(int argc, char** argv) {
    const int sync = argc > 1 && strcmp(argv[1], "--sync") == 0;
    argv += sync;
    argc -= sync;
    if (argc != 4) {
        fprintf(stderr, "usage: %s [--sync] <base URL> <list> <destination>\n", argv[0]);
        return 2;
    }
    FILE* list = fopen(argv[2], "r");
    if (!list) return perror(argv[2]), 2;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, inflate_piece);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    mkdir(argv[3], 0755);
    char line[4096], url[8192], path[8192];
    int status = 0;
    while (fgets(line, sizeof line, list)) {
        line[strcspn(line, "\n")] = 0;
        if (!*line) continue;
        char* slash = strchr(line, '/');
        char* base = strrchr(line, '/');
        if (!slash) continue;
        *slash = 0;
        snprintf(path, sizeof path, "%s/%s", argv[3], line);
        mkdir(path, 0755);
        snprintf(path, sizeof path, "%s/%s/%s", argv[3], line, base + 1);
        *slash = '/';
        snprintf(url, sizeof url, "%s/%s.gz", argv[1], line);
        struct sink s = {.out = fopen(path, "wb")};
        if (!s.out || inflateInit2(&s.z, 16 + MAX_WBITS) != Z_OK) return perror(path), 1;
        curl_easy_setopt(curl, CURLOPT_URL, url);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &s);
        if (curl_easy_perform(curl) != CURLE_OK || s.failed) {
            fprintf(stderr, "%s failed\n", url);
            status = 1;
        }
        inflateEnd(&s.z);
        if (fclose(s.out) != 0) status = 1;
    }
    curl_easy_cleanup(curl);
    curl_global_cleanup();
    fclose(list);
    if (sync) {
        const int dir = open(argv[3], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0 || syncfs(dir) != 0) status = 1;
        if (dir >= 0) close(dir);
    }
    return status;
}
