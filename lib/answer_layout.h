// SPDX-License-Identifier: LGPL-2.1-or-later
// Where things sit in the security module's frames: every offset and length
// the library judges or copies an answer by. Internal: not installed.
#ifndef VESSIK_ANSWER_LAYOUT_H
#define VESSIK_ANSWER_LAYOUT_H

namespace vessik {
namespace frame {

// Every frame: preamble AA AA AA 96 69, a big-endian length of what follows
// it (check byte included), then the command or the answer, then an XOR check.
constexpr int kPreambleBytes = 5;
constexpr int kPosLengthHigh = 5;
constexpr int kPosLengthLow = 6;
constexpr int kCommandFrameBytes = 10; // the four commands the poll sends

// The module's command codes (bytes 7 and 8 of a command frame). 12 FF asks
// the module for its management information (its identifier); the poll uses
// it as its status query.
constexpr unsigned char kCmdModuleId[2] = {0x12, 0xFF};
constexpr unsigned char kCmdFind[2] = {0x20, 0x01};
constexpr unsigned char kCmdSelect[2] = {0x20, 0x02};
constexpr unsigned char kCmdRead[2] = {0x30, 0x01};
// Reads the text, the photo and the fingerprint templates.
constexpr unsigned char kCmdReadWithFingerprints[2] = {0x30, 0x10};
// Reads the newest address appended to the card.
constexpr unsigned char kCmdReadAppendedAddress[2] = {0x30, 0x03};

} // namespace frame

namespace answer {

// An answer carries three status bytes after the length: two forwarded from
// the card, then the module's own, which is the one that matters.
constexpr int kPosModuleStatus = 9;
constexpr int kPayloadOffset = kPosModuleStatus + 1;
constexpr int kCheckByteBytes = 1;
constexpr unsigned char kStatusSuccess = 0x90;
constexpr unsigned char kStatusCardFound = 0x9F;
// A module that does not know a command answers with one of these.
constexpr unsigned char kStatusUnknownCommand = 0x21;
constexpr unsigned char kStatusCommandNotRecognised = 0x24;

// An answer with no payload: the status and the check byte (11 bytes).
constexpr int kStatusAnswerBytes = kPayloadOffset + kCheckByteBytes;

// A find answer carries 4 payload bytes and a select answer 8, so their check
// bytes land at 14 and 18; a good answer's check byte is 0x97.
constexpr int kPosFindCheck = 14;
constexpr int kPosSelectCheck = 18;
constexpr unsigned char kCheckOfGoodAnswer = 0x97;
constexpr int kFindAnswerBytes = kPosFindCheck + kCheckByteBytes;     // 15
constexpr int kSelectAnswerBytes = kPosSelectCheck + kCheckByteBytes; // 19
constexpr int kFindPayloadBytes = 4;
constexpr int kSelectPayloadBytes = 8;
// A find that saw no card answers 80 with no payload.
constexpr unsigned char kStatusNoCard = 0x80;

// The module's identifier: 16 bytes after the status, 27 in all.
constexpr int kModuleIdBytes = 16;
constexpr int kModuleIdAnswerBytes = kPayloadOffset + kModuleIdBytes + kCheckByteBytes;

// The read answer: length 05 08 (1288 bytes follow the length), 1295 in all:
// status, the text and photo lengths, the text block, the photo, the check byte.
constexpr unsigned char kReadLengthHigh = 0x05;
constexpr unsigned char kReadLengthLow = 0x08;
constexpr int kReadAnswerBytes = 1295;
constexpr int kTextOffset = 14;
constexpr int kTextBytes = 256;
constexpr int kPhotoOffset = kTextOffset + kTextBytes; // 270
constexpr int kPhotoBytes = 1024;

// The read with fingerprints (30 10): status, three big-endian lengths (text
// 0x0100, photo 0x0400, fingerprints 0, 0x0200 or 0x0400), the text, the
// photo, the templates, the check byte: 1297, 1809 or 2321 bytes.
constexpr int kFingerprintLengthsOffset = kPayloadOffset;
constexpr int kFingerprintTextOffset = kFingerprintLengthsOffset + 6;
constexpr int kFingerprintPhotoOffset = kFingerprintTextOffset + kTextBytes;
constexpr int kFingerprintTemplatesOffset = kFingerprintPhotoOffset + kPhotoBytes;
constexpr int kFingerprintTemplateBytes = 512;
constexpr int kFingerprintTemplatesMax = 2;
constexpr int kFingerprintAnswerMaxBytes = kFingerprintTemplatesOffset +
                                           kFingerprintTemplatesMax * kFingerprintTemplateBytes +
                                           kCheckByteBytes; // 2321
// Room for any answer the extended read asks for.
constexpr int kLargestAnswerBytes = 4096;

} // namespace answer

namespace textblock {

// The card type marker: one UCS-2 unit at bytes 248-249 of the text block.
constexpr int kTypeMarkerOffset = 248;
constexpr unsigned short kMarkerForeignPermanent = 'I';
constexpr unsigned short kMarkerHmtPermit = 'J';

} // namespace textblock
} // namespace vessik

#endif
