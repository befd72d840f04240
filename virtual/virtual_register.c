/*
 * A virtual chain of shift registers behind a pseudo-terminal, for watching
 * the real programs through their real serial code, and for trying them
 * with nothing plugged in. Loaded with LD_PRELOAD into every Wine process,
 * or into the native sender or service; it only acts on the ptys listed in
 * $VREG_DIR/ports and leaves every other file alone. A line of that list:
 * "COM3 /dev/pts/7", or with the chain's outputs (8 to 64; 8 when left out)
 * and words: "invert" for an interface that inverts every line,
 * "P1 /dev/pts/8 32 invert". The list is read again whenever it changes, so
 * that a port can be unplugged and plugged back on another pty.
 *
 * What a port does as it opens, by a word (without one, an open moves no
 * line and the lines start raised, as if opened before):
 * "linux-open": a Linux tty, whose lines start low and rise together at an
 * open while the tty's rate is not 0 (tty_port_block_til_ready); setting
 * the rate to 0 lowers both and leaving 0 raises both, as the kernel does.
 * A new pty behind the port is a tty the kernel has not seen since it
 * started (after a restart, or an adapter on a new ttyUSB number), whose
 * rate is not 0; the kernel keeps a known tty's rate from its last close.
 * "enumerator": every open raises DTR, then RTS, as Windows' serial
 * enumerator probes a port. And what the board does with lines that rise
 * together: "rev2", the board's revision 2, whose RC on the shift clock lets
 * the strobe rise first (the register latches what it held, then shifts);
 * without it, revision 1 at its worst: the clock first, then the strobe.
 * The kernel's lowering of the lines at the last close (HUPCL) is not
 * played: every program here lowers them itself.
 *
 * Wine moves DTR and RTS with TIOCMGET/TIOCMSET, a native program with
 * TIOCMBIS/TIOCMBIC, and both the break with TIOCSBRK/TIOCCBRK; a pty
 * refuses the modem-line calls, so they are emulated here. Behind the lines
 * sits the register: TXD in break is data 1, a DTR rising edge shifts the
 * data bit in, an RTS rising edge latches the shift stages onto the outputs.
 * Each register's QH' feeds the next one's SER, so the chain is one long
 * shift register. Behind an inverting interface the register sees every
 * line the other way up: it shifts when DTR falls, latches when RTS falls,
 * and takes the complement of the data line.
 * The lines and the register are one for all processes, as on real wires:
 * they live in $VREG_DIR/<port>.state, mapped by each process and changed
 * under an flock of that file, so two programs that moved the lines at once
 * would garble each other's bytes here too.
 *
 * Wine looks for the machine's own serial ports with access() on
 * /dev/ttyS<n>, /dev/ttyUSB<n> and /dev/ttyACM<n> and adds a port for each;
 * here they all seem absent, so that Wine lists just the ports declared in
 * its registry.
 *
 * $VREG_DIR/<port>.mode, read again at every call, plays faults: "busy" and
 * "missing" refuse the open (EACCES, ENOENT; under Wine the open happens in
 * the wineserver), "exclusive" refuses it with EBUSY, as TIOCEXCL does,
 * "dead" fails every line call with EIO.
 *
 * Records, per port: <port>.log, one line per event with CLOCK_MONOTONIC
 * nanoseconds ("123 DTR 1", "456 LATCH 0x20", "789 OPEN", "790 CLOSE",
 * "791 RATE 0" where the rate is played; a
 * port fd closed in several processes logs one CLOSE each; a latch shows
 * one hexadecimal digit per four outputs), and <port>.vcd, a Value Change
 * Dump of the lines and the outputs. Output k of n is bit 1 << (n - k) of
 * the latched value, the programs' own numbering.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define MAX_PORTS 16
#define MAX_OUTPUTS 64
#define VCD_WIRES (3 + MAX_OUTPUTS)

/* What all processes share of a port. */
struct lines {
    int made;                  /* set once the first process has filled it in */
    int dtr, rts, brk;         /* as the program set them */
    int rate_zero;             /* the tty's rate is 0 (B0), kept across opens */
    dev_t rdev;                /* the pty the port is on now */
    unsigned long long stages; /* shift stages, in output numbering */
    unsigned long long outputs;/* latched */
    long long vcd_base_us;     /* -1 until the VCD is begun */
    char vcd_last[VCD_WIRES];  /* the values last written to the VCD */
};

/* A file kept open from call to call: opening it for every line change
 * cost most of the change, which would stretch every transmission. */
struct kept {
    int fd; /* 0 until opened: the descriptors kept are above the standard streams */
    dev_t dev;
    ino_t ino;
};

enum opening { OPENS_NOTHING, OPENS_TOGETHER, OPENS_ENUMERATOR };

struct port {
    char name[32];
    dev_t rdev;
    int width;                 /* outputs in the chain */
    int invert;                /* the interface inverts every line */
    enum opening opening;      /* what an open does to the lines */
    int revision;              /* of the board: 1, or 2 with the RC on the shift clock */
    int state_fd;              /* $VREG_DIR/<port>.state, flocked around each change */
    struct lines *l;
    struct kept mode, log, vcd;
};

static struct port ports[MAX_PORTS];
static int port_count = -1;
static char dir[512];
static struct timespec list_changed; /* of the ports list, when last read */
static ino_t list_inode;
static pthread_mutex_t lock = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

static int (*real_ioctl)(int, unsigned long, ...);
static int (*real_open)(const char *, int, ...);
static int (*real_openat)(int, const char *, int, ...);
static int (*real_close)(int);

static long long now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

/* Through a data pointer: ISO C has no cast from void * to a function. */
static void resolve(void *function_pointer, const char *name) {
    if (!*(void **)function_pointer) *(void **)function_pointer = dlsym(RTLD_NEXT, name);
}

static void resolve_real(void) {
    resolve(&real_ioctl, "ioctl");
    resolve(&real_open, "open");
    resolve(&real_openat, "openat");
    resolve(&real_close, "close");
}

/* Moves a new descriptor above the standard streams, which the program may
 * be about to open again itself. */
static int above_standard_streams(int fd) {
    if (fd < 0) return -1;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    real_close(fd);
    return moved;
}

/* The kept file's descriptor, opened again when the program has closed it
 * (its number may be another file's by now: that one is left alone) or the
 * file was removed or replaced; -1 when it cannot be opened. */
static int kept_open(struct kept *k, const char *path, int flags) {
    struct stat st;
    if (k->fd > 0) {
        if (fstat(k->fd, &st) == 0 && st.st_dev == k->dev && st.st_ino == k->ino) {
            if (st.st_nlink > 0) return k->fd;
            real_close(k->fd);
        }
        k->fd = 0;
    }
    int fd = above_standard_streams(real_open(path, flags | O_CLOEXEC, 0644));
    if (fd < 0) return -1;
    if (fstat(fd, &st) != 0) {
        real_close(fd);
        return -1;
    }
    *k = (struct kept){fd, st.st_dev, st.st_ino};
    return fd;
}

static void lock_lines(const struct port *p) { flock(p->state_fd, LOCK_EX); }
static void unlock_lines(const struct port *p) { flock(p->state_fd, LOCK_UN); }

/* Maps the port's shared state, making it if this process is the first. */
static int map_lines(struct port *p) {
    char path[600];
    snprintf(path, sizeof path, "%s/%s.state", dir, p->name);
    p->state_fd = above_standard_streams(real_open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (p->state_fd < 0) return -1;
    if (ftruncate(p->state_fd, sizeof *p->l) != 0) return -1;
    p->l = mmap(NULL, sizeof *p->l, PROT_READ | PROT_WRITE, MAP_SHARED, p->state_fd, 0);
    if (p->l == MAP_FAILED) return -1;
    lock_lines(p);
    if (!p->l->made) {
        /* Where opens are not played, the lines start as an open left them. */
        p->l->dtr = p->l->rts = p->opening == OPENS_NOTHING;
        p->l->vcd_base_us = -1;
        p->l->made = 1;
    }
    unlock_lines(p);
    return 0;
}

static struct port *port_named(const char *name) {
    for (int i = 0; i < port_count; ++i)
        if (strcmp(ports[i].name, name) == 0) return &ports[i];
    return NULL;
}

/* Reads the ports list when it is new or has changed since it was read; a
 * port already known keeps its lines and register, on its new pty. */
static void load_ports(void) {
    if (port_count < 0) {
        port_count = 0;
        const char *env = getenv("VREG_DIR");
        if (!env || strlen(env) >= sizeof dir - 64) return;
        strcpy(dir, env);
    }
    if (!dir[0]) return;
    char path[600];
    snprintf(path, sizeof path, "%s/ports", dir);
    struct stat list_stat;
    if (stat(path, &list_stat) != 0) return;
    if (list_stat.st_ino == list_inode && list_stat.st_mtim.tv_sec == list_changed.tv_sec &&
        list_stat.st_mtim.tv_nsec == list_changed.tv_nsec)
        return;
    list_changed = list_stat.st_mtim;
    list_inode = list_stat.st_ino;
    FILE *list = fopen(path, "re");
    if (!list) return;
    char line[400];
    while (fgets(line, sizeof line, list)) {
        char *rest, *name = strtok_r(line, " \t\n", &rest), *tty = strtok_r(NULL, " \t\n", &rest);
        if (!name || !tty || strlen(name) >= sizeof ports[0].name) continue;
        int width = 8, invert = 0, revision = 1;
        enum opening opening = OPENS_NOTHING;
        for (char *word; (word = strtok_r(NULL, " \t\n", &rest));) {
            if (strcmp(word, "invert") == 0) invert = 1;
            else if (strcmp(word, "linux-open") == 0) opening = OPENS_TOGETHER;
            else if (strcmp(word, "enumerator") == 0) opening = OPENS_ENUMERATOR;
            else if (strcmp(word, "rev2") == 0) revision = 2;
            else width = atoi(word);
        }
        if (width < 8 || width > MAX_OUTPUTS || width % 8 != 0) width = 8;
        struct stat st;
        if (stat(tty, &st) != 0 || !S_ISCHR(st.st_mode)) continue;
        struct port *p = port_named(name);
        const int known = p != NULL;
        if (!known) {
            if (port_count == MAX_PORTS) continue;
            p = &ports[port_count];
            memset(p, 0, sizeof *p);
            strcpy(p->name, name);
        }
        p->rdev = st.st_rdev;
        p->width = width;
        p->invert = invert;
        p->opening = opening;
        p->revision = revision;
        if (!known) {
            if (map_lines(p) != 0) continue;
            ++port_count;
        }
        /* A tty new to the kernel starts from its driver's rate, not 0. */
        lock_lines(p);
        if (p->l->rdev != st.st_rdev) {
            p->l->rdev = st.st_rdev;
            p->l->rate_zero = 0;
        }
        unlock_lines(p);
    }
    fclose(list);
}

static struct port *port_of_stat(const struct stat *st) {
    if (!S_ISCHR(st->st_mode)) return NULL;
    for (int i = 0; i < port_count; ++i)
        if (ports[i].rdev == st->st_rdev) return &ports[i];
    return NULL;
}

static void read_mode(struct port *p, char *mode, size_t size) {
    char path[600];
    snprintf(path, sizeof path, "%s/%s.mode", dir, p->name);
    mode[0] = '\0';
    int fd = kept_open(&p->mode, path, O_RDONLY);
    if (fd < 0) return;
    ssize_t n = pread(fd, mode, size - 1, 0);
    mode[n > 0 ? n : 0] = '\0';
    mode[strcspn(mode, " \n")] = '\0';
}

static void append(struct kept *file, const char *path, const char *text) {
    int fd = kept_open(file, path, O_WRONLY | O_APPEND | O_CREAT);
    if (fd < 0) return;
    ssize_t ignored = write(fd, text, strlen(text));
    (void)ignored;
}

static void log_event(struct port *p, const char *format, ...) {
    char line[200], path[600];
    int n = snprintf(line, sizeof line, "%lld ", now_ns());
    va_list args;
    va_start(args, format);
    vsnprintf(line + n, sizeof line - n - 1, format, args);
    va_end(args);
    strcat(line, "\n");
    snprintf(path, sizeof path, "%s/%s.log", dir, p->name);
    append(&p->log, path, line);
}

/* VCD identifiers, from '!': txd_break, dtr, rts, then the outputs from 1. */
static void vcd_values(const struct port *p, char values[VCD_WIRES]) {
    memset(values, '0', VCD_WIRES);
    values[0] = (char)('0' + p->l->brk);
    values[1] = (char)('0' + p->l->dtr);
    values[2] = (char)('0' + p->l->rts);
    for (int k = 1; k <= p->width; ++k) values[2 + k] = (char)('0' + ((p->l->outputs >> (p->width - k)) & 1));
}

/* Begins the port's VCD with the lines as they are now. */
static void vcd_begin(struct port *p) {
    if (p->l->vcd_base_us >= 0) return;
    char path[600], text[8192];
    snprintf(path, sizeof path, "%s/%s.vcd", dir, p->name);
    p->l->vcd_base_us = now_ns() / 1000;
    vcd_values(p, p->l->vcd_last);
    int fd = real_open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    int n = snprintf(text, sizeof text,
                     "$version octolatch virtual register $end\n"
                     "$timescale 1 us $end\n$scope module %s $end\n"
                     "$var wire 1 ! txd_break $end\n$var wire 1 \" dtr $end\n"
                     "$var wire 1 # rts $end\n",
                     p->name);
    for (int k = 1; k <= p->width; ++k)
        n += snprintf(text + n, sizeof text - n, "$var wire 1 %c out%d $end\n", '#' + k, k);
    n += snprintf(text + n, sizeof text - n, "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n");
    for (int i = 0; i < 3 + p->width; ++i)
        n += snprintf(text + n, sizeof text - n, "%c%c\n", p->l->vcd_last[i], '!' + i);
    snprintf(text + n, sizeof text - n, "$end\n");
    ssize_t ignored = write(fd, text, strlen(text));
    (void)ignored;
    real_close(fd);
}

/* Appends the values that changed since the last sample. */
static void vcd_sample(struct port *p) {
    char values[VCD_WIRES], text[1024], path[600];
    vcd_values(p, values);
    int n = snprintf(text, sizeof text, "#%lld\n", now_ns() / 1000 - p->l->vcd_base_us);
    int changed = 0;
    for (int i = 0; i < 3 + p->width; ++i) {
        if (values[i] == p->l->vcd_last[i]) continue;
        n += snprintf(text + n, sizeof text - n, "%c%c\n", values[i], '!' + i);
        changed = 1;
    }
    if (!changed) return;
    memcpy(p->l->vcd_last, values, sizeof values);
    snprintf(path, sizeof path, "%s/%s.vcd", dir, p->name);
    append(&p->vcd, path, text);
}

static void set_lines(struct port *p, int dtr, int rts) {
    if (dtr == p->l->dtr && rts == p->l->rts) {
        log_event(p, "MODEM unchanged");
        return;
    }
    /* The register's own view of the lines: inverted or not. */
    const int clock_rises = p->invert ? p->l->dtr && !dtr : !p->l->dtr && dtr;
    const int strobe_rises = p->invert ? p->l->rts && !rts : !p->l->rts && rts;
    const unsigned long long data = (unsigned long long)(p->invert ? !p->l->brk : p->l->brk);
    /* Revision 2's RC delays the shift clock by about 100 us: of two edges
     * that come together, the strobe's is seen first. */
    const int strobe_first = p->revision == 2 && clock_rises && strobe_rises;
    for (int step = 0; step < 2; ++step) {
        if ((step == 0) != strobe_first && dtr != p->l->dtr) {
            p->l->dtr = dtr;
            log_event(p, "DTR %d", dtr);
            if (clock_rises) p->l->stages = (p->l->stages >> 1) | (data << (p->width - 1));
        }
        if ((step == 0) == strobe_first && rts != p->l->rts) {
            p->l->rts = rts;
            log_event(p, "RTS %d", rts);
            if (strobe_rises) {
                p->l->outputs = p->l->stages;
                log_event(p, "LATCH 0x%0*llX", p->width / 4, p->l->outputs);
            }
        }
    }
    vcd_sample(p);
}

/* What the port does to the lines as it opens. */
static void open_lines(struct port *p) {
    if (p->opening == OPENS_NOTHING || (p->opening == OPENS_TOGETHER && p->l->rate_zero)) return;
    vcd_begin(p);
    if (p->opening == OPENS_ENUMERATOR) set_lines(p, 1, p->l->rts);
    if (!p->l->dtr || !p->l->rts) set_lines(p, 1, 1);
}

/* The kernel lowers DTR and RTS as a tty's rate becomes 0, and raises both
 * as it leaves 0. */
static void change_rate(struct port *p, int zero) {
    if (p->opening != OPENS_TOGETHER || zero == p->l->rate_zero) return;
    p->l->rate_zero = zero;
    log_event(p, zero ? "RATE 0" : "RATE not 0");
    vcd_begin(p);
    set_lines(p, !zero, !zero);
}

static int emulate(struct port *p, unsigned long request, void *arg) {
    char mode[32];
    read_mode(p, mode, sizeof mode);
    if (strcmp(mode, "dead") == 0) {
        log_event(p, "FAILED ioctl 0x%lx", request);
        errno = EIO;
        return -1;
    }
    int *bits = arg;
    if (request != TIOCMGET) vcd_begin(p);
    switch (request) {
        case TIOCMGET:
            *bits = (p->l->dtr ? TIOCM_DTR : 0) | (p->l->rts ? TIOCM_RTS : 0);
            return 0;
        case TIOCMSET:
            set_lines(p, !!(*bits & TIOCM_DTR), !!(*bits & TIOCM_RTS));
            return 0;
        case TIOCMBIS:
            set_lines(p, p->l->dtr || (*bits & TIOCM_DTR), p->l->rts || (*bits & TIOCM_RTS));
            return 0;
        case TIOCMBIC:
            set_lines(p, p->l->dtr && !(*bits & TIOCM_DTR), p->l->rts && !(*bits & TIOCM_RTS));
            return 0;
        case TIOCSBRK:
        case TIOCCBRK:
            p->l->brk = request == TIOCSBRK;
            log_event(p, "BREAK %d", p->l->brk);
            vcd_sample(p);
            return 0;
    }
    return -1;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    resolve_real();
    if (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS ||
        request == TIOCMBIC || request == TIOCSBRK || request == TIOCCBRK) {
        pthread_mutex_lock(&lock);
        load_ports();
        struct stat st;
        struct port *p = port_count > 0 && fstat(fd, &st) == 0 ? port_of_stat(&st) : NULL;
        int result;
        if (p) {
            lock_lines(p);
            result = emulate(p, request, arg);
            unlock_lines(p);
        } else {
            result = real_ioctl(fd, request, arg);
        }
        pthread_mutex_unlock(&lock);
        return result;
    }
    return real_ioctl(fd, request, arg);
}

/* Returns 0 to go ahead with the open, or the errno that refuses it. */
static int check_open(int dirfd, const char *path) {
    int refusal = 0;
    pthread_mutex_lock(&lock);
    load_ports();
    struct stat st;
    struct port *p = port_count > 0 && fstatat(dirfd, path, &st, 0) == 0 ? port_of_stat(&st) : NULL;
    if (p) {
        char mode[32];
        read_mode(p, mode, sizeof mode);
        if (strcmp(mode, "busy") == 0) refusal = EACCES;
        if (strcmp(mode, "missing") == 0) refusal = ENOENT;
        if (strcmp(mode, "exclusive") == 0) refusal = EBUSY;
        lock_lines(p);
        log_event(p, refusal ? "OPEN refused %s" : "OPEN",
                  refusal == EACCES ? "EACCES" : refusal == ENOENT ? "ENOENT" : "EBUSY");
        if (!refusal) open_lines(p);
        unlock_lines(p);
    }
    pthread_mutex_unlock(&lock);
    return refusal;
}

static mode_t mode_of(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & __O_TMPFILE) == __O_TMPFILE ? va_arg(args, mode_t) : 0;
}

int openat(int dirfd, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_of(flags, args);
    va_end(args);
    resolve_real();
    int refusal = check_open(dirfd, path);
    if (refusal) {
        errno = refusal;
        return -1;
    }
    return real_openat(dirfd, path, flags, mode);
}

int open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    mode_t mode = mode_of(flags, args);
    va_end(args);
    return openat(AT_FDCWD, path, flags, mode);
}

int open64(const char *path, int flags, ...) __attribute__((alias("open")));
int openat64(int dirfd, const char *path, int flags, ...) __attribute__((alias("openat")));

/* glibc's tcsetattr reaches the kernel without the ioctl above. */
int tcsetattr(int fd, int action, const struct termios *settings) {
    static int (*real_tcsetattr)(int, int, const struct termios *);
    resolve(&real_tcsetattr, "tcsetattr");
    pthread_mutex_lock(&lock);
    load_ports();
    struct stat st;
    struct port *p = port_count > 0 && fstat(fd, &st) == 0 ? port_of_stat(&st) : NULL;
    if (p) {
        lock_lines(p);
        change_rate(p, cfgetospeed(settings) == B0);
        unlock_lines(p);
    }
    pthread_mutex_unlock(&lock);
    return real_tcsetattr(fd, action, settings);
}

/* Every process's last close of a port releases it; logged for ordering. */
int close(int fd) {
    resolve_real();
    if (port_count != 0) {
        pthread_mutex_lock(&lock);
        load_ports();
        struct stat st;
        struct port *p = port_count > 0 && fstat(fd, &st) == 0 ? port_of_stat(&st) : NULL;
        if (p) {
            lock_lines(p);
            log_event(p, "CLOSE");
            unlock_lines(p);
        }
        pthread_mutex_unlock(&lock);
    }
    return real_close(fd);
}

static int is_serial_device_name(const char *path) {
    const char *families[] = {"/dev/ttyS", "/dev/ttyUSB", "/dev/ttyACM"};
    for (int i = 0; i < 3; ++i) {
        size_t n = strlen(families[i]);
        if (strncmp(path, families[i], n) == 0 && path[n] >= '0' && path[n] <= '9') return 1;
    }
    return 0;
}

int access(const char *path, int mode) {
    static int (*real_access)(const char *, int);
    resolve(&real_access, "access");
    if (is_serial_device_name(path)) {
        errno = ENOENT;
        return -1;
    }
    return real_access(path, mode);
}

int __open_2(const char *path, int flags) { return openat(AT_FDCWD, path, flags); }
int __open64_2(const char *path, int flags) { return openat(AT_FDCWD, path, flags); }
int __openat_2(int dirfd, const char *path, int flags) { return openat(dirfd, path, flags); }
int __openat64_2(int dirfd, const char *path, int flags) { return openat(dirfd, path, flags); }
