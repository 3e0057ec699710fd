// The spool's reader on arbitrary file bytes: a spool file left by an
// earlier run is opened, checked and read to its end, every message it
// yields is whole, and nothing is left behind but what was set aside.

#include "spool.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <unistd.h>

static std::string directory;
static int directory_fd = -1;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char path[] = "/tmp/vostrelld-spool-fuzz.XXXXXX";
    if (!mkdtemp(path))
        abort();
    directory = path;
    directory_fd = open(path, O_RDONLY | O_DIRECTORY);
    return directory_fd == -1 ? 1 : 0;
}

// Removes every file of the directory; how many there were.
static int empty_directory()
{
    int files = 0;
    DIR *listing = opendir(directory.c_str());
    while (struct dirent *entry = readdir(listing))
        if (entry->d_name[0] != '.')
            files += unlinkat(directory_fd, entry->d_name, 0) == 0;
    closedir(listing);
    return files;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FILE *file = fopen((directory + "/backyard-0000000000000001.spool").c_str(), "wb");
    if (!file || fwrite(data, 1, size, file) != size || fclose(file) != 0)
        abort();
    spool_t *spool = spool_open(directory_fd, directory.c_str(), "backyard", 1 << 20);
    uint64_t held = spool_messages(spool), read = 0, lost, damaged;
    spool_frames frames;
    for (int found; (found = spool_peek(spool, &frames)) != SPOOL_EMPTY;) {
        if (found == SPOOL_SET_ASIDE)
            continue;
        if (frames.count < 1 || frames.count > 2 || frames.size[0] + frames.size[1] > size)
            abort();
        spool_delivered(spool);
        read++;
    }
    spool_take_losses(spool, &lost, &damaged);
    if (spool_messages(spool) != 0 || spool_bytes(spool) != 0 || read > held || lost != 0)
        abort();
    spool_close(&spool);
    // Only what was set aside is left.
    if (empty_directory() > (damaged > 0 ? 1 : 0))
        abort();
    return 0;
}
