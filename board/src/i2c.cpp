// SPDX-License-Identifier: MIT
// The I2C buses of the module and the register model of the chips on them:
// 8-bit register addresses, 16-bit registers sent most significant byte
// first. A write message is [register, high, low, high, low, ...] (the
// register pointer advances per 16-bit register); a message of only the
// register byte sets the pointer for a following read.
#include <errno.h>
#include <string.h>

#include <linux/i2c-dev.h>
#include <linux/i2c.h>

#include <algorithm>
#include <map>

#include "kb_internal.h"

namespace kb {
namespace {

struct Chip {
    uint16_t reg[256] = {};
    uint8_t ptr = 0;
};

struct I2c {
    std::map<std::pair<int, unsigned>, Chip> chips;
    std::map<int, long> timeouts, retries;
    std::vector<kb_i2c_msg> msgs;
    int transfers = 0;
    int open = 0;
};

I2c &i2c()
{
    static I2c *p = new I2c();
    return *p;
}

Chip *chip(int bus, unsigned addr)
{
    auto it = i2c().chips.find({bus, addr});
    return it == i2c().chips.end() ? nullptr : &it->second;
}

void run_message(Chip &c, i2c_msg &m)
{
    if (m.flags & I2C_M_RD) {
        for (unsigned i = 0; i < m.len; ++i) {
            uint16_t v = c.reg[c.ptr];
            m.buf[i] = (i % 2 == 0) ? uint8_t(v >> 8) : uint8_t(v);
            if (i % 2 == 1) ++c.ptr;
        }
        return;
    }
    if (m.len == 0) return;
    c.ptr = m.buf[0];
    for (unsigned i = 1; i + 1 < m.len; i += 2) {
        c.reg[c.ptr] = uint16_t(m.buf[i] << 8 | m.buf[i + 1]);
        ++c.ptr;
    }
}

// The event of one message: its register and the 16-bit values it wrote or
// read (a write of the register byte alone only sets the pointer).
void note_message(int bus, const i2c_msg &m, unsigned reg, int transfer)
{
    bool read = m.flags & I2C_M_RD;
    long values[8];
    int count = 0;
    for (unsigned i = read ? 0 : 1; i + 1 < m.len && count < 8; i += 2)
        values[count++] = long(m.buf[i]) << 8 | m.buf[i + 1];
    char addr[8];
    snprintf(addr, sizeof addr, "0x%02x", m.addr);
    Event(read ? "i2c_read" : "i2c_write")
        .num("bus", bus)
        .str("addr", addr)
        .num("reg", reg)
        .list("values", values, count)
        .num("len", m.len)
        .num("transfer", transfer);
}

int rdwr(Node *n, i2c_rdwr_ioctl_data *d, int *result)
{
    I2c &b = i2c();
    int index = b.transfers++;
    if (int e = fault_check(KB_FAULT_I2C_TRANSFER, -1)) return e;
    if (!d || d->nmsgs > I2C_RDWR_IOCTL_MAX_MSGS || (d->nmsgs && !d->msgs)) return EINVAL;
    for (unsigned i = 0; i < d->nmsgs; ++i)
        if (!chip(n->bus, d->msgs[i].addr)) return ENXIO;  // nobody acknowledges
    for (unsigned i = 0; i < d->nmsgs; ++i) {
        i2c_msg &m = d->msgs[i];
        Chip &c = *chip(n->bus, m.addr);
        bool read = m.flags & I2C_M_RD;
        // The register a read starts at is the chip's pointer; a write names it.
        unsigned reg = read ? c.ptr : (m.len ? m.buf[0] : 0);
        run_message(c, m);
        note_message(n->bus, m, reg, index);
        kb_i2c_msg r{};
        r.bus = n->bus;
        r.addr = m.addr;
        r.flags = m.flags;
        r.len = m.len;
        memcpy(r.data, m.buf, std::min<size_t>(m.len, sizeof r.data));
        r.transfer = index;
        b.msgs.push_back(r);
    }
    *result = int(d->nmsgs);
    return 0;
}

}  // namespace

bool i2c_bus_exists_locked(int bus)
{
    for (const auto &c : i2c().chips)
        if (c.first.first == bus) return true;
    return false;
}

int i2c_open_count_locked() { return i2c().open; }

void i2c_opened_locked() { ++i2c().open; }
void i2c_closed_locked()
{
    if (i2c().open > 0) --i2c().open;
}

// Returns an errno value, or 0 with the ioctl's result in *result.
int i2c_ioctl(Node *n, unsigned long req, void *arg, int *result)
{
    Guard g;
    *result = 0;
    unsigned long value = reinterpret_cast<unsigned long>(arg) & 0xFFFFFFFFul;
    switch (req) {
    case I2C_SLAVE:
    case I2C_SLAVE_FORCE:
        if (value > 0x3ff) return EINVAL;
        n->slave = unsigned(value);
        return 0;
    case I2C_TIMEOUT:
        i2c().timeouts[n->bus] = long(value);
        return 0;
    case I2C_RETRIES:
        i2c().retries[n->bus] = long(value);
        return 0;
    case I2C_TENBIT:
    case I2C_PEC:
        return 0;
    case I2C_FUNCS:
        *static_cast<unsigned long *>(arg) = I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
        return 0;
    case I2C_RDWR:
        return rdwr(n, static_cast<i2c_rdwr_ioctl_data *>(arg), result);
    default:
        return ENOTTY;
    }
}

// As i2c-dev's read and write: at most 8192 bytes, one message to the
// address of I2C_SLAVE (0 before it is set), the byte count as the result.
int i2c_file_rw(Node *n, void *buf, size_t count, bool read, ssize_t *done)
{
    Guard g;
    if (count > 8192) count = 8192;
    i2c_msg m{};
    m.addr = uint16_t(n->slave);
    m.flags = read ? I2C_M_RD : 0;
    m.len = uint16_t(count);
    m.buf = static_cast<uint8_t *>(buf);  // only written for a read
    i2c_rdwr_ioctl_data d{&m, 1};
    int result = 0;
    if (int e = rdwr(n, &d, &result)) return e;
    *done = ssize_t(count);
    return 0;
}

void i2c_reset_locked()
{
    I2c &b = i2c();
    b.chips.clear();
    b.chips[{2, 0x1b}] = Chip{};
    b.timeouts.clear();
    b.retries.clear();
    b.msgs.clear();
    b.transfers = 0;
}

}  // namespace kb

using namespace kb;

extern "C" {

void kb_i2c_add_chip(int bus, unsigned addr)
{
    ensure_init();
    Guard g;
    i2c().chips.try_emplace({bus, addr});
}

void kb_i2c_set_reg(int bus, unsigned addr, unsigned reg, unsigned value)
{
    ensure_init();
    Guard g;
    if (Chip *c = chip(bus, addr); c && reg < 256) c->reg[reg] = uint16_t(value);
}

int kb_i2c_get_reg(int bus, unsigned addr, unsigned reg)
{
    ensure_init();
    Guard g;
    Chip *c = chip(bus, addr);
    if (!c || reg >= 256) return -1;
    return c->reg[reg];
}

size_t kb_i2c_msgs(struct kb_i2c_msg *out, size_t cap)
{
    ensure_init();
    Guard g;
    const auto &m = i2c().msgs;
    if (out) std::copy_n(m.begin(), std::min(cap, m.size()), out);
    return m.size();
}

long kb_i2c_timeout(int bus)
{
    ensure_init();
    Guard g;
    auto it = i2c().timeouts.find(bus);
    return it == i2c().timeouts.end() ? -1 : it->second;
}

long kb_i2c_retries(int bus)
{
    ensure_init();
    Guard g;
    auto it = i2c().retries.find(bus);
    return it == i2c().retries.end() ? -1 : it->second;
}

int kb_i2c_open_fds(void)
{
    ensure_init();
    Guard g;
    return i2c().open;
}

}  // extern "C"
