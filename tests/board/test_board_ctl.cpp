// The emulated control device: the card's control list, element info, reads
// and writes with their refusals, the write record, and its faults.
#include <map>
#include <string>

#include "board_raw.h"
#include "ka_test.h"

using namespace board_raw;
using namespace ka_test;

namespace {

using BoardCtl = BoardTest;

struct Listed {
    unsigned numid;
    snd_ctl_elem_info info;
};

// Every control by name, listed the way a client does: count first, then ids.
std::map<std::string, Listed> list_controls(int fd)
{
    snd_ctl_elem_list list;
    memset(&list, 0, sizeof list);
    EXPECT_EQ(0, io(fd, SNDRV_CTL_IOCTL_ELEM_LIST, &list));
    std::vector<snd_ctl_elem_id> ids(list.count);
    list.space = list.count;
    list.pids = ids.data();
    EXPECT_EQ(0, io(fd, SNDRV_CTL_IOCTL_ELEM_LIST, &list));
    EXPECT_EQ(list.count, list.used);
    std::map<std::string, Listed> out;
    for (const auto &id : ids) {
        snd_ctl_elem_info info;
        memset(&info, 0, sizeof info);
        info.id.numid = id.numid;
        EXPECT_EQ(0, io(fd, SNDRV_CTL_IOCTL_ELEM_INFO, &info));
        out[reinterpret_cast<const char *>(id.name)] = {id.numid, info};
    }
    return out;
}

int write_values(int fd, unsigned numid, std::initializer_list<long> values)
{
    snd_ctl_elem_value v;
    memset(&v, 0, sizeof v);
    v.id.numid = numid;
    int k = 0;
    for (long x : values) v.value.integer.value[k++] = x;
    return io(fd, SNDRV_CTL_IOCTL_ELEM_WRITE, &v);
}

TEST_F(BoardCtl, ListInfoReadWrite)
{
    int fd = open("/dev/snd/controlC0", O_RDWR);
    ASSERT_GE(fd, 0);
    int version = 0;
    EXPECT_EQ(0, io(fd, SNDRV_CTL_IOCTL_PVERSION, &version));
    EXPECT_EQ(SNDRV_CTL_VERSION, version);
    snd_ctl_card_info card;
    ASSERT_EQ(0, io(fd, SNDRV_CTL_IOCTL_CARD_INFO, &card));
    EXPECT_EQ(0, card.card);

    const auto controls = list_controls(fd);
    // Routes of the four front ends, the DTMF pair, codec volumes, voice.
    const struct {
        const char *name;
        int type, count;
        long min, max;
    } expect[] = {
        {"SEC_AUX_PCM_RX Audio Mixer MultiMedia1", SNDRV_CTL_ELEM_TYPE_BOOLEAN, 1, 0, 1},
        {"Incall_Music Audio Mixer MultiMedia5", SNDRV_CTL_ELEM_TYPE_BOOLEAN, 1, 0, 1},
        {"MultiMedia6 Mixer VOC_REC_DL", SNDRV_CTL_ELEM_TYPE_BOOLEAN, 1, 0, 1},
        {"MultiMedia2 Mixer SEC_MI2S_TX", SNDRV_CTL_ELEM_TYPE_BOOLEAN, 1, 0, 1},
        {"SEC_AUX_PCM_RX_Voice Mixer DTMF", SNDRV_CTL_ELEM_TYPE_BOOLEAN, 1, 0, 1},
        {"DTMF_Generate Rx Low High Duration Gain", SNDRV_CTL_ELEM_TYPE_INTEGER, 4, 0, 2147483647L},
        {"DAC1 Playback Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 2, 0, 175},
        {"ADC Capture Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 2, 0, 125},
        {"Capture Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 1, 0, 255},
        {"PGA Capture Volume", SNDRV_CTL_ELEM_TYPE_INTEGER, 2, 0, 119},
        {"Voice Rx Gain", SNDRV_CTL_ELEM_TYPE_INTEGER, 3, -1, 5000},
    };
    EXPECT_EQ(4u * 7 + 2 + 7 + 3, controls.size());
    for (const auto &e : expect) {
        auto it = controls.find(e.name);
        ASSERT_NE(controls.end(), it) << e.name;
        const snd_ctl_elem_info &i = it->second.info;
        EXPECT_EQ(e.type, static_cast<int>(i.type)) << e.name;
        EXPECT_EQ(static_cast<unsigned>(e.count), i.count) << e.name;
        EXPECT_EQ(e.min, i.value.integer.min) << e.name;
        EXPECT_EQ(e.max, i.value.integer.max) << e.name;
        EXPECT_EQ(SNDRV_CTL_ELEM_IFACE_MIXER, i.id.iface);
    }

    // Writes within the range land and are recorded; the voice values the
    // library writes fit.
    const unsigned gain = controls.at("Voice Rx Gain").numid;
    const unsigned dac = controls.at("DAC1 Playback Volume").numid;
    EXPECT_EQ(0, write_values(fd, gain, {5, -1, 500}));
    EXPECT_EQ(0, write_values(fd, dac, {87, 175}));
    EXPECT_EQ(EINVAL, write_values(fd, dac, {87, 176}));
    EXPECT_EQ(EINVAL, write_values(fd, gain, {-2, 0, 0}));
    EXPECT_EQ(ENOENT, write_values(fd, 999, {0}));
    snd_ctl_elem_value v;
    memset(&v, 0, sizeof v);
    v.id.numid = 999;
    EXPECT_EQ(ENOENT, io(fd, SNDRV_CTL_IOCTL_ELEM_READ, &v));
    snd_ctl_elem_info bad;
    memset(&bad, 0, sizeof bad);
    bad.id.numid = 999;
    EXPECT_EQ(ENOENT, io(fd, SNDRV_CTL_IOCTL_ELEM_INFO, &bad));

    // Read by id and by interface and name.
    memset(&v, 0, sizeof v);
    v.id.iface = SNDRV_CTL_ELEM_IFACE_MIXER;
    snprintf(reinterpret_cast<char *>(v.id.name), sizeof v.id.name, "DAC1 Playback Volume");
    ASSERT_EQ(0, io(fd, SNDRV_CTL_IOCTL_ELEM_READ, &v));
    EXPECT_EQ(dac, v.id.numid);
    EXPECT_EQ(87, v.value.integer.value[0]);
    EXPECT_EQ(175, v.value.integer.value[1]);

    kb_ctl_write w[4];
    ASSERT_EQ(2u, kb_ctl_writes(w, 4));
    EXPECT_STREQ("Voice Rx Gain", w[0].name);
    EXPECT_EQ(3, w[0].count);
    EXPECT_EQ((std::vector<long>{5, -1, 500}), std::vector<long>(w[0].values, w[0].values + 3));
    EXPECT_STREQ("DAC1 Playback Volume", w[1].name);

    // The direct setters bypass the record but not the range.
    long got[4] = {};
    EXPECT_EQ(3, kb_ctl_get("Voice Rx Gain", got, 4));
    EXPECT_EQ(500, got[2]);
    const long raw[2] = {1, 2};
    EXPECT_EQ(0, kb_ctl_set("ADC Capture Volume", raw, 2));
    const long high[2] = {1, 126};
    EXPECT_EQ(-1, kb_ctl_set("ADC Capture Volume", high, 2));
    EXPECT_EQ(-1, kb_ctl_get("No Such Control", got, 4));
    EXPECT_EQ(2, kb_ctl_get("ADC Capture Volume", got, 4));
    EXPECT_EQ(2, got[1]);
    EXPECT_EQ(2u, kb_ctl_writes(nullptr, 0));
    close(fd);

    // A reset puts the values back.
    kb_reset();
    EXPECT_EQ(2, kb_ctl_get("DAC1 Playback Volume", got, 4));
    EXPECT_EQ(0, got[0]);
    EXPECT_EQ(0u, kb_ctl_writes(nullptr, 0));
}

TEST_F(BoardCtl, FaultsOfOpenReadAndWrite)
{
    kb_fault(KB_FAULT_CTL_OPEN, -1, 0, 2, ENODEV);
    EXPECT_EQ(-1, open("/dev/snd/controlC0", O_RDWR));
    EXPECT_EQ(ENODEV, errno);
    EXPECT_EQ(-1, open("/dev/snd/controlC0", O_RDWR));
    int fd = open("/dev/snd/controlC0", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(2, kb_fault_hits(KB_FAULT_CTL_OPEN));
    EXPECT_EQ(1, kb_open_fds());

    const unsigned numid = list_controls(fd).at("Playback Volume").numid;
    kb_fault(KB_FAULT_CTL_WRITE, -1, 1, -1, EIO);
    EXPECT_EQ(0, write_values(fd, numid, {9}));
    EXPECT_EQ(EIO, write_values(fd, numid, {10}));
    EXPECT_EQ(EIO, write_values(fd, numid, {11}));
    EXPECT_EQ(2, kb_fault_hits(KB_FAULT_CTL_WRITE));
    kb_fault(KB_FAULT_CTL_READ, -1, 0, 1, EAGAIN);
    snd_ctl_elem_value v;
    memset(&v, 0, sizeof v);
    v.id.numid = numid;
    EXPECT_EQ(EAGAIN, io(fd, SNDRV_CTL_IOCTL_ELEM_READ, &v));
    ASSERT_EQ(0, io(fd, SNDRV_CTL_IOCTL_ELEM_READ, &v));
    EXPECT_EQ(9, v.value.integer.value[0]);  // the failed writes changed nothing
    EXPECT_EQ(1u, kb_ctl_writes(nullptr, 0));
    close(fd);
    EXPECT_EQ(0, kb_open_fds());
    // Replaced by count 0, the fault is gone.
    kb_fault(KB_FAULT_CTL_OPEN, -1, 0, -1, EIO);
    kb_fault(KB_FAULT_CTL_OPEN, -1, 0, 0, 0);
    fd = open("/dev/snd/controlC0", O_RDWR);
    EXPECT_GE(fd, 0);
    close(fd);
}

}  // namespace
