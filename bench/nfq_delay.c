// Holds every packet of one netfilter queue for a fixed time, then lets it through: a delay line for
// the benchmark lab, whose kernel has no netem. Packets reach it through an iptables NFQUEUE rule.
//
// Usage: nfq_delay QUEUE_NUMBER DELAY_MICROSECONDS
// Runs until SIGINT or SIGTERM, then lets every held packet go and prints its counters on stderr.
//
// The delay is the same for every packet, so packets are due in the order they arrive: they wait in
// a FIFO ring, and one batch verdict (every id up to the last due one) releases all that are due.
#define _GNU_SOURCE // ppoll
#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>

// After the C library's headers, so the kernel's own definitions of them stand back.
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>

enum { ring_size = 1 << 17, receive_buffer_bytes = 16 << 20 };

struct held_packet {
    uint32_t id;
    uint64_t due_us;
};

static struct held_packet ring[ring_size];
static size_t ring_head, ring_tail; // ring_tail - ring_head packets are held
static uint64_t delay_us, delayed_count, overflow_count, max_held;
static volatile sig_atomic_t stopping;

static uint64_t now_us(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

static int on_packet(struct nfq_q_handle* queue, struct nfgenmsg* message, struct nfq_data* data, void* unused)
{
    (void)message;
    (void)unused;
    struct nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(data);
    if (header == NULL)
        return 0;
    uint32_t id = ntohl(header->packet_id);
    if (ring_tail - ring_head == ring_size) {
        // Full: a late packet is better than a lost one, and the counter shows it happened.
        ++overflow_count;
        return nfq_set_verdict(queue, id, NF_ACCEPT, 0, NULL);
    }
    ring[ring_tail % ring_size] = (struct held_packet) { id, now_us() + delay_us };
    ++ring_tail;
    ++delayed_count;
    if (ring_tail - ring_head > max_held)
        max_held = ring_tail - ring_head;
    return 0;
}

// Lets through every packet that is due (or all of them when `all`), with one batch verdict.
static void release_due(struct nfq_q_handle* queue, int all)
{
    uint64_t now = now_us();
    size_t released = 0;
    uint32_t last_id = 0;
    while (ring_head != ring_tail && (all || ring[ring_head % ring_size].due_us <= now)) {
        last_id = ring[ring_head % ring_size].id;
        ++ring_head;
        ++released;
    }
    if (released > 0)
        nfq_set_verdict_batch(queue, last_id, NF_ACCEPT);
}

static void on_signal(int signal_number)
{
    (void)signal_number;
    stopping = 1;
}

static int parse_number(const char* text, unsigned long max, unsigned long* out)
{
    char* end = NULL;
    errno = 0;
    unsigned long value = strtoul(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value > max)
        return -1;
    *out = value;
    return 0;
}

int main(int argc, char** argv)
{
    unsigned long queue_number = 0, delay = 0;
    if (argc != 3 || parse_number(argv[1], 65535, &queue_number) != 0
        || parse_number(argv[2], 10000000, &delay) != 0) {
        fprintf(stderr, "usage: nfq_delay QUEUE_NUMBER DELAY_MICROSECONDS\n");
        return 2;
    }
    delay_us = delay;

    struct sigaction action = { 0 };
    action.sa_handler = on_signal; // no SA_RESTART: the signal must cut ppoll short
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);

    struct nfq_handle* handle = nfq_open();
    if (handle == NULL) {
        perror("nfq_delay: nfq_open");
        return 1;
    }
    if (nfq_bind_pf(handle, AF_INET) < 0) {
        perror("nfq_delay: nfq_bind_pf");
        return 1;
    }
    struct nfq_q_handle* queue = nfq_create_queue(handle, (uint16_t)queue_number, on_packet, NULL);
    if (queue == NULL) {
        perror("nfq_delay: nfq_create_queue");
        return 1;
    }
    // Only the packet ids are needed, not the payloads.
    if (nfq_set_mode(queue, NFQNL_COPY_META, 0) < 0 || nfq_set_queue_maxlen(queue, ring_size) < 0) {
        perror("nfq_delay: queue setup");
        return 1;
    }
    nfnl_rcvbufsiz(nfq_nfnlh(handle), receive_buffer_bytes);
    int fd = nfq_fd(handle);
    int on = 1;
    // A burst beyond the socket buffer drops packets in the kernel; reading must go on regardless.
    setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on);
    fprintf(stderr, "nfq_delay: queue %lu, %lu us\n", queue_number, delay);

    static char buffer[1 << 16];
    while (!stopping) {
        release_due(queue, 0);
        struct timespec wait = { 0 };
        struct timespec* timeout = NULL;
        if (ring_head != ring_tail) {
            uint64_t due = ring[ring_head % ring_size].due_us, now = now_us();
            uint64_t left = due > now ? due - now : 0;
            wait.tv_sec = (time_t)(left / 1000000u);
            wait.tv_nsec = (long)(left % 1000000u) * 1000;
            timeout = &wait;
        }
        struct pollfd poll_fd = { .fd = fd, .events = POLLIN };
        if (ppoll(&poll_fd, 1, timeout, NULL) <= 0)
            continue;
        ssize_t length;
        while ((length = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)) > 0)
            nfq_handle_packet(handle, buffer, (int)length);
    }
    release_due(queue, 1);
    nfq_destroy_queue(queue);
    nfq_close(handle);
    fprintf(stderr, "nfq_delay: %llu packets delayed, %llu let through at once (ring full), at most %llu held\n",
        (unsigned long long)delayed_count, (unsigned long long)overflow_count, (unsigned long long)max_held);
    return 0;
}
