// Built against the installed header and library (CMake package or
// pkg-config): one cyclic read of four registers, polled and answered the way
// a panel runtime does it. Exit status 0 when the frame, the status and the
// register image are right; the first wrong item is printed.
#include <plc_driver.h>

#include <cstdio>

namespace {

void onDone(int32_t, int32_t, int32_t, int32_t) {}
void onFail(QList<RW_VAR>, int32_t, int32_t) {}

int fail(const char* what) {
    std::fprintf(stderr, "consumer: %s\n", what);
    return 1;
}

}  // namespace

int main() {
    COMINFO info{};
    info.blockSize = 32;
    info.defStation = 3;
    info.retryMax = 1;
    info.runMode = 2;
    SetComInfo(&info);
    RegistCallBackFuncIntf(onDone, onFail);

    VARDESC desc{};
    desc.regType = 7;
    desc.addrText = QStringLiteral("10");
    desc.name = QStringLiteral("setpoints");
    desc.count = 4;
    QList<VARDESC> descs{desc};
    if (ReCreatReadVarList(&descs) != 1) return fail("read list not built");

    // Station 3, function 3, start = area base of type 7 + 10, 4 registers.
    Protocol* p = ComCommunication();
    if (!p || p->frameLen != 8 || p->replyLen != 5 + 2 * 4) return fail("no read frame");
    auto* f = reinterpret_cast<unsigned char*>(p->frame.data());
    const int start = getOffsetAddress(7) + 10;
    if (f[0] != 3 || f[1] != 3 || f[2] != start >> 8 || f[3] != (start & 0xFF) || f[4] != 0 ||
        f[5] != 4)
        return fail("wrong read frame");
    // The CRC over a frame that ends in its own CRC (low byte first) is 0.
    if (CalCRC(f, 8) != 0) return fail("wrong CRC");

    unsigned char reply[13] = {3, 3, 8, 0x12, 0x34, 0, 1, 0xAB, 0xCD, 0xFF, 0xFF};
    const unsigned short crc = CalCRC(reply, 11);
    reply[11] = crc & 0xFF;
    reply[12] = crc >> 8;
    QByteArray bytes(reinterpret_cast<const char*>(reply), sizeof reply);
    RW_VAR* r = DataCom(&bytes, bytes.size());
    if (!r || r->status != 1) return fail("reply not accepted");

    // The image holds registers low byte first.
    QString addr = QStringLiteral("10");
    QByteArray out;
    if (GetRegisterData(nullptr, 7, addr, 3, &out, 4) != 1 ||
        out != QByteArray::fromHex("34120100CDABFFFF"))
        return fail("register image");
    std::puts("consumer: read frame, reply and register image ok");
    return 0;
}
