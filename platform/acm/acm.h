// The Audio Compression Manager calls the program makes: conversion streams from a stored sound
// format to PCM, a PCM format suggestion for a stored format, the largest format size and the
// names of format tags. PCM to PCM (sample width, channel count, rate) is converted by our own
// code; compressed formats are decoded through libavcodec. There is no driver enumeration: the
// set of formats is one fixed table, and a tag whose decoder libavcodec lacks is unknown
// everywhere (no name, no suggestion, no stream).
//
// A stream converts only what its caller may safely hand it: with ACM_STREAMCONVERTF_BLOCKALIGN
// only whole source blocks are taken, the rest is left for the next call, and the header reports
// how many source and destination bytes were used. None of these calls throws.
#pragma once
#include <cstdint>

#include "base/wave_format.h"

namespace tavelo::platform {

using MMRESULT = uint32_t;

struct AcmStreamRec;
using HACMSTREAM = AcmStreamRec*;
using HACMDRIVER = void*;
using HACMOBJ = void*;

enum : MMRESULT {
  MMSYSERR_NOERROR = 0,
  MMSYSERR_ERROR = 1,
  MMSYSERR_INVALHANDLE = 5,
  MMSYSERR_NOTSUPPORTED = 8,
  MMSYSERR_NOMEM = 7,
  MMSYSERR_INVALFLAG = 10,
  MMSYSERR_INVALPARAM = 11,
  ACMERR_NOTPOSSIBLE = 512,
  ACMERR_BUSY = 513,
  ACMERR_UNPREPARED = 514,
};

// acmStreamOpen
enum : uint32_t { ACM_STREAMOPENF_NONREALTIME = 0x00000004 };
// acmStreamSize
enum : uint32_t { ACM_STREAMSIZEF_SOURCE = 0x00000000 };
// acmStreamConvert
enum : uint32_t {
  ACM_STREAMCONVERTF_BLOCKALIGN = 0x00000004,
  ACM_STREAMCONVERTF_START = 0x00000010,
  ACM_STREAMCONVERTF_END = 0x00000020,
};
// ACMSTREAMHEADER.fdwStatus
enum : uint32_t {
  ACMSTREAMHEADER_STATUSF_DONE = 0x00010000,
  ACMSTREAMHEADER_STATUSF_PREPARED = 0x00020000,
  ACMSTREAMHEADER_STATUSF_INQUEUE = 0x00100000,
};
// acmFormatSuggest
enum : uint32_t { ACM_FORMATSUGGESTF_WFORMATTAG = 0x00010000 };
// acmMetrics
enum : uint32_t { ACM_METRIC_MAX_SIZE_FORMAT = 50 };
// acmFormatTagDetailsA
enum : uint32_t { ACM_FORMATTAGDETAILSF_FORMATTAG = 0x00000001 };
enum : uint32_t { ACMDRIVERDETAILS_SUPPORTF_CODEC = 0x00000001, ACMDRIVERDETAILS_SUPPORTF_CONVERTER = 0x00000002 };

// The layout of the system's stream header with native pointers; cbStruct must be its size.
// The driver words hold what the header was prepared with.
struct ACMSTREAMHEADER {
  uint32_t cbStruct;
  uint32_t fdwStatus;
  uintptr_t dwUser;
  uint8_t* pbSrc;
  uint32_t cbSrcLength;
  uint32_t cbSrcLengthUsed;
  uintptr_t dwSrcUser;
  uint8_t* pbDst;
  uint32_t cbDstLength;
  uint32_t cbDstLengthUsed;
  uintptr_t dwDstUser;
  uintptr_t dwReservedDriver[10];
};

constexpr int kAcmFormatTagChars = 48;

struct ACMFORMATTAGDETAILSA {
  uint32_t cbStruct;
  uint32_t dwFormatTagIndex;
  uint32_t dwFormatTag;
  uint32_t cbFormatSize;
  uint32_t fdwSupport;
  uint32_t cFormats;
  char szFormatTag[kAcmFormatTagChars];
};
static_assert(sizeof(ACMFORMATTAGDETAILSA) == 72, "the format tag details record is 72 bytes");

// Opens a conversion stream from pwfxSrc to the PCM format pwfxDst. Both records must be
// followed by their cbSize extra bytes. No driver, filter or callback; fdwOpen may only hold
// ACM_STREAMOPENF_NONREALTIME. ACMERR_NOTPOSSIBLE when the formats cannot be converted.
MMRESULT acmStreamOpen(HACMSTREAM* phas, HACMDRIVER had, const WAVEFORMATEX* pwfxSrc,
                       const WAVEFORMATEX* pwfxDst, const void* pwfltr, uintptr_t dwCallback,
                       uintptr_t dwInstance, uint32_t fdwOpen);
MMRESULT acmStreamClose(HACMSTREAM has, uint32_t fdwClose);
// The destination bytes that cbInput source bytes produce (ACM_STREAMSIZEF_SOURCE only). The
// figure is exact for PCM and the block codecs and an estimate from the byte rate for MPEG audio.
MMRESULT acmStreamSize(HACMSTREAM has, uint32_t cbInput, uint32_t* pdwOutputBytes, uint32_t fdwSize);
MMRESULT acmStreamPrepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwPrepare);
// cbSrcLength and cbDstLength must be restored to the prepared lengths first.
MMRESULT acmStreamUnprepareHeader(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwUnprepare);
MMRESULT acmStreamConvert(HACMSTREAM has, ACMSTREAMHEADER* pash, uint32_t fdwConvert);

// With ACM_FORMATSUGGESTF_WFORMATTAG (or no flag) and a destination tag of PCM (or 0): PCM at the
// source's rate and channel count, 16 bits (a PCM source is suggested as it is).
MMRESULT acmFormatSuggest(HACMDRIVER had, const WAVEFORMATEX* pwfxSrc, WAVEFORMATEX* pwfxDst,
                          uint32_t cbwfxDst, uint32_t fdwSuggest);
// ACM_METRIC_MAX_SIZE_FORMAT with no object: the largest format record of the table (uint32).
MMRESULT acmMetrics(HACMOBJ hao, uint32_t uMetric, void* pMetric);
// ACM_FORMATTAGDETAILSF_FORMATTAG: the details and the name of pafd->dwFormatTag.
MMRESULT acmFormatTagDetailsA(HACMDRIVER had, ACMFORMATTAGDETAILSA* pafd, uint32_t fdwDetails);

}  // namespace tavelo::platform
