/* The floor of any check that trusts a stat cache: one stat per file and nothing else.
 *
 *     stat_floor <md5sum listing>
 *
 * Reads the paths of an "md5sum -c" listing ("<digest>  <path>" per line) and stats each
 * file by its name in its directory (a directory descriptor opened once per directory),
 * the list split between as many threads as the machine has processors. Exits 1 when a
 * file is missing. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static char** paths;
static size_t count;

struct part {
    size_t from, to;
    int missing;
};

static void* stat_part(void* arg) {
    struct part* p = arg;
    char dir[4096] = "";
    int fd = -1;
    for (size_t i = p->from; i < p->to; ++i) {
        const char* slash = strrchr(paths[i], '/');
        size_t length = slash ? (size_t)(slash - paths[i]) : 0;
        if (!slash || length >= sizeof dir) {
            p->missing = 1;
            continue;
        }
        if (fd < 0 || strlen(dir) != length || strncmp(dir, paths[i], length) != 0) {
            if (fd >= 0) close(fd);
            memcpy(dir, paths[i], length);
            dir[length] = '\0';
            fd = open(length ? dir : "/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        }
        struct stat st;
        if (fd < 0 || fstatat(fd, slash + 1, &st, 0) != 0) p->missing = 1;
    }
    if (fd >= 0) close(fd);
    return NULL;
}

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: stat_floor <md5sum listing>\n");
        return 2;
    }
    FILE* in = fopen(argv[1], "r");
    if (!in) {
        perror(argv[1]);
        return 2;
    }
    size_t capacity = 1024;
    paths = malloc(capacity * sizeof *paths);
    char* line = NULL;
    size_t size = 0;
    ssize_t n;
    while ((n = getline(&line, &size, in)) > 0) {
        if (line[n - 1] == '\n') line[--n] = '\0';
        char* path = strstr(line, "  ");
        if (!path) continue;
        if (count == capacity) paths = realloc(paths, (capacity *= 2) * sizeof *paths);
        paths[count++] = strdup(path + 2);
    }
    fclose(in);
    long threads = sysconf(_SC_NPROCESSORS_ONLN);
    if (threads < 1) threads = 1;
    if (threads > 16) threads = 16;
    pthread_t ids[16];
    struct part parts[16];
    for (long t = 0; t < threads; ++t) {
        parts[t].from = count * t / threads;
        parts[t].to = count * (t + 1) / threads;
        parts[t].missing = 0;
        pthread_create(&ids[t], NULL, stat_part, &parts[t]);
    }
    int missing = 0;
    for (long t = 0; t < threads; ++t) {
        pthread_join(ids[t], NULL);
        missing |= parts[t].missing;
    }
    return missing;
}
