// Reading frames back for people: what a request asks for in terms of the
// controller's address map, and what a reply says when it is a Modbus
// exception. Works from the bytes alone (and the variable the driver built
// the request for), so the trace, the screen and the records agree.
#ifndef PLCHOST_FRAME_DECODER_H
#define PLCHOST_FRAME_DECODER_H

#include <QtCore/QByteArray>
#include <cstddef>
#include <cstdint>
#include <string>

#include "plc_driver.h"

namespace plchost {

// CRC-16/MODBUS (polynomial 0xA001 reflected, initial 0xFFFF); sent low byte first.
uint16_t crc16(const uint8_t* data, size_t len);

// The exception code of a Modbus exception reply: five bytes, station,
// function with bit 7 set, code, CRC. 0 when the bytes are no such reply
// (or their CRC is wrong).
int exceptionCode(const QByteArray& reply);
// "illegal data address" for 2; "unknown exception" for codes without a name.
const char* exceptionName(int code);
// "exception 02 illegal data address": the code in two hex digits, as the
// Modbus documents write it.
std::string exceptionText(int code);

// "st 1 read holding 11736 x2 (type 7 addr 0)" for a local frame; the remote
// framing carries no controller address: "remote read station 1 type 7 addr 0 count 2".
std::string describeRequest(const QByteArray& frame, const RW_VAR& var, bool remote);

// "01 03 04 00 2A": bytes in hex, separated by blanks.
std::string hexBytes(const QByteArray& bytes);

}  // namespace plchost

#endif  // PLCHOST_FRAME_DECODER_H
