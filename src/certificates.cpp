#include "certificates.h"

#include "config.h"
#include "log.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <initializer_list>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

// A certificate is a few hundred bytes of ZPL; a larger file is not one.
static const size_t MAX_CERTIFICATE_SIZE = 16 * 1024;

// The daemon's key pair, while CURVE is enabled.
static bool curve = false;
static uint8_t public_key[CURVE_KEY_SIZE];
static uint8_t secret_key[CURVE_KEY_SIZE];

static void refuse_unreadable(int index, const char *path, int error)
{
    log_line(LOG_ERR, "Parameter \"%s\": cannot read %s (%s)", optional_strings[index].name, path,
             strerror(error));
}

// Decodes the Z85 key at path in a certificate's tree into key.
static bool decode_key(zconfig_t *tree, const char *path, uint8_t *key)
{
    const char *text = zconfig_get(tree, path, nullptr);
    return text && strlen(text) == 40 && zmq_z85_decode(key, text);
}

// Overwrites the value at path in a certificate's tree, where there is one.
static void wipe_value(zconfig_t *tree, const char *path)
{
    zconfig_t *item = tree ? zconfig_locate(tree, path) : nullptr;
    char *value = item ? zconfig_value(item) : nullptr;
    if (value)
        explicit_bzero(value, strlen(value));
}

// Reads the regular file behind fd, NUL-terminated, into text; false when
// it cannot, errno telling why.
static bool read_regular(int fd, const struct stat *status, char *text, size_t capacity)
{
    if (!S_ISREG(status->st_mode)) {
        errno = S_ISDIR(status->st_mode) ? EISDIR : EINVAL;
        return false;
    }
    size_t size = 0;
    for (;;) {
        ssize_t got = read(fd, text + size, capacity - 1 - size);
        if (got == 0)
            break;
        if (got == -1 && errno != EINTR)
            return false;
        if (got > 0)
            size += static_cast<size_t>(got);
        if (size == capacity - 1) {
            errno = EFBIG;
            return false;
        }
    }
    text[size] = '\0';
    return true;
}

// Reads the file at path into text, as read_regular, and its status.
static bool read_file(const char *path, char *text, size_t capacity, struct stat *status)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return false;
    bool whole = fstat(fd, status) == 0 && read_regular(fd, status, text, capacity);
    int read_errno = errno;
    close(fd);
    errno = read_errno;
    return whole;
}

// Reads the certificate that optional key index names (exactly that file)
// into public_out and, where secret_out is given, secret_out: the file must
// then hold the secret key and keep it from group and others. Logs and
// returns false where it cannot.
static bool read_certificate(int index, uint8_t *public_out, uint8_t *secret_out)
{
    const char *name = optional_strings[index].name, *path = optional_strings[index].value;
    struct stat status;
    char text[MAX_CERTIFICATE_SIZE];
    bool whole = read_file(path, text, sizeof text, &status);
    int read_errno = errno;
    zconfig_t *tree = whole ? zconfig_str_load(text) : nullptr;
    explicit_bzero(text, sizeof text);
    bool has_public = tree && decode_key(tree, "/curve/public-key", public_out);
    bool has_secret = !secret_out || (tree && decode_key(tree, "/curve/secret-key", secret_out));
    wipe_value(tree, "/curve/secret-key");
    zconfig_destroy(&tree);
    if (!whole)
        refuse_unreadable(index, path, read_errno);
    else if (!has_public || !has_secret)
        log_line(LOG_ERR, "Parameter \"%s\": %s holds no %s key", name, path,
                 has_public ? "secret" : "public");
    else if (secret_out && (status.st_mode & (S_IRWXG | S_IRWXO)))
        log_line(LOG_ERR, "Parameter \"%s\": %s is open to group or others (chmod 600 it)", name,
                 path);
    else
        return true;
    return false;
}

// The directory of admitted client certificates must be there and readable:
// the authenticator would take a missing one as an empty one.
static bool check_clients_directory()
{
    const char *path = optional_strings[CURVE_CLIENTS_STR].value;
    DIR *directory = opendir(path);
    if (!directory) {
        refuse_unreadable(CURVE_CLIENTS_STR, path, errno);
        return false;
    }
    closedir(directory);
    return true;
}

// Reads every key that CURVE needs.
static bool read_curve_keys()
{
    prctl(PR_SET_DUMPABLE, 0);
    if (!read_certificate(CURVE_CERTIFICATE_STR, public_key, secret_key))
        return false;
    for (socket_record &record : socket_records) {
        int key = record.certificate_key;
        record.server_key_known = key >= 0 && optional_strings[key].value != nullptr;
        if (record.server_key_known && !read_certificate(key, record.server_key, nullptr))
            return false;
    }
    curve = true;
    return !optional_strings[CURVE_CLIENTS_STR].value || check_clients_directory();
}

bool read_certificates()
{
    bool certificate = optional_strings[CURVE_CERTIFICATE_STR].value != nullptr;
    for (int index : {CURVE_CLIENTS_STR, CURVE_PROCESSOR_STR, CURVE_BACKYARD_STR}) {
        if (optional_strings[index].value && !certificate) {
            log_line(LOG_ERR, "Parameter \"%s\" needs \"%s\"", optional_strings[index].name,
                     optional_strings[CURVE_CERTIFICATE_STR].name);
            return false;
        }
    }
    if (certificate && !read_curve_keys()) {
        destroy_certificates();
        return false;
    }
    return true;
}

bool curve_enabled()
{
    return curve;
}

void apply_curve(zsock_t *socket, const socket_record *record)
{
    if (!curve)
        return;
    zsock_set_curve_publickey_bin(socket, public_key);
    zsock_set_curve_secretkey_bin(socket, secret_key);
    if (record->server_key_known)
        zsock_set_curve_serverkey_bin(socket, record->server_key);
    else
        zsock_set_curve_server(socket, 1);
}

void forget_secret_key()
{
    explicit_bzero(secret_key, sizeof secret_key);
}

void destroy_certificates()
{
    forget_secret_key();
    curve = false;
    for (socket_record &record : socket_records)
        record.server_key_known = false;
}
