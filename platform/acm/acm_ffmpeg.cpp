// SPDX-License-Identifier: GPL-3.0-or-later
// The general driver, built as the module rtplayer-ffmpeg.so: every format tag that libavcodec
// decodes, found through libavformat's RIFF tag table, for the formats that no in-process
// driver takes. Frames go through libswresample into the PCM format that acmFormatSuggest
// chose. The module exports its driver table and nothing else.
#include <algorithm>
#include <bit>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "acm.h"
#include "acm_driver.h"
#include "platform/module_diagnostics.h"
#include "platform/wave_format.h"

namespace {

AVCodecID CodecFor(const WAVEFORMATEX* src) {
  const uint16_t tag = SampleCodingTag(src);
  // PCM and float are the in-process driver's, even where it refuses the header.
  if (tag == 0 || tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT) {
    return AV_CODEC_ID_NONE;
  }
  const AVCodecTag* const tables[] = {avformat_get_riff_audio_tags(), nullptr};
  return av_codec_get_id(tables, tag);
}

AVSampleFormat SampleFormatOf(const WAVEFORMATEX* pcm) {
  switch (pcm->wBitsPerSample) {
    case 8:
      return AV_SAMPLE_FMT_U8;
    case 16:
      return AV_SAMPLE_FMT_S16;
    case 32:
      return AV_SAMPLE_FMT_S32;
    default:
      return AV_SAMPLE_FMT_NONE;
  }
}

struct Decoder {
  AVCodecContext* context = nullptr;
  AVCodecParameters* parameters = nullptr;  // for av_get_audio_frame_duration2
  // Byte streams (MP3 and the like) are cut into frames by a parser, which keeps its own
  // context: parsers rewrite fields of the context they are given.
  AVCodecParserContext* parser = nullptr;
  AVCodecContext* parserContext = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  // The source copied with the zero padding that decoders and parsers may read past the end.
  AVBufferRef* input = nullptr;
  SwrContext* resampler = nullptr;
  AVChannelLayout resamplerLayout{};  // the frames' layout and format the resampler is set for
  int resamplerFormat = AV_SAMPLE_FMT_NONE;

  AVSampleFormat outFormat = AV_SAMPLE_FMT_NONE;
  int rate = 0;
  int channels = 0;
  uint32_t frameBytes = 0;  // one PCM frame out
  uint32_t blockAlign = 0;
  uint32_t peakByteRate = 0;
  // Output is sized in units: a block, or a parsed packet, gives at most unitFrames frames
  // and takes at least unitBytes source bytes. reserveUnits more may come out after the last
  // input: the frame a parser holds, the frames a delaying decoder holds.
  uint32_t unitFrames = 0;
  uint32_t unitBytes = 0;
  uint32_t reserveUnits = 0;
  bool used = false;     // anything decoded since the open or the last reset
  bool drained = false;  // the decoder has given out everything; new input needs a flush
  bool broken = false;   // a reset could not rebuild the parser
  // Since the open or the last reset: frames decoded, and whether any input was refused as
  // damaged. Damage is concealed, but a stream that never decodes a frame is not playing.
  uint64_t framesDecoded = 0;
  bool damaged = false;

  ~Decoder() {
    avcodec_free_context(&context);
    avcodec_parameters_free(&parameters);
    if (parser != nullptr) av_parser_close(parser);
    avcodec_free_context(&parserContext);
    av_packet_free(&packet);
    av_frame_free(&frame);
    av_buffer_unref(&input);
    swr_free(&resampler);
    av_channel_layout_uninit(&resamplerLayout);
  }
};

struct Output {
  uint8_t* next;
  uint64_t room;
};

bool Handles(const WAVEFORMATEX* src) {
  const AVCodecID id = CodecFor(src);
  return id != AV_CODEC_ID_NONE && avcodec_find_decoder(id) != nullptr;
}

bool SetUpContext(AVCodecContext* c, const WAVEFORMATEX* src) {
  c->sample_rate = static_cast<int>(src->nSamplesPerSec);
  c->block_align = src->nBlockAlign;
  c->bit_rate = int64_t{src->nAvgBytesPerSec} * 8;
  c->codec_tag = SampleCodingTag(src);
  c->bits_per_coded_sample = src->wBitsPerSample;
  c->thread_count = 1;

  const auto* extra = reinterpret_cast<const uint8_t*>(src) + sizeof(WAVEFORMATEX);
  int extraSize = src->cbSize;
  WaveFormatExtension extension;
  const bool extensible = ReadExtension(src, &extension);
  if (extensible) {
    if (extension.validBitsPerSample != 0) {
      c->bits_per_coded_sample = extension.validBitsPerSample;
    }
    extra += kWaveFormatExtensionSize;
    extraSize -= kWaveFormatExtensionSize;
  }
  // As FFmpeg's own WAV reader does: G.726 says its code size only through its bit rate.
  if (c->codec_id == AV_CODEC_ID_ADPCM_G726) {
    c->bits_per_coded_sample = static_cast<int>(c->bit_rate / c->sample_rate);
  }
  if (extensible && std::popcount(extension.channelMask) == src->nChannels) {
    if (av_channel_layout_from_mask(&c->ch_layout, extension.channelMask) < 0) return false;
  } else {
    c->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
    c->ch_layout.nb_channels = src->nChannels;
  }
  if (extraSize > 0) {
    c->extradata = static_cast<uint8_t*>(av_mallocz(extraSize + AV_INPUT_BUFFER_PADDING_SIZE));
    if (c->extradata == nullptr) return false;
    std::memcpy(c->extradata, extra, extraSize);
    c->extradata_size = extraSize;
  }
  return true;
}

// The highest bit rate of MPEG audio, by layer; 0 for other codecs.
uint32_t PeakMpegBitRate(AVCodecID id) {
  switch (id) {
    case AV_CODEC_ID_MP1:
      return 448000;
    case AV_CODEC_ID_MP2:
      return 384000;
    case AV_CODEC_ID_MP3:
      return 320000;
    default:
      return 0;
  }
}

// Sizes the output units; false when nothing says how much PCM a block can give.
bool SetUpUnits(Decoder& d, const WAVEFORMATEX* src, const AVCodec* codec) {
  // A variable-rate writer may leave the average 0: assume 32 kb/s, the lowest rate of MPEG-1
  // layer III. Smaller frames only make a conversion take less than it is offered.
  constexpr uint32_t kAssumedAverage = 4000;
  const uint32_t average = src->nAvgBytesPerSec > 0 ? src->nAvgBytesPerSec : kAssumedAverage;
  int perBlock = av_get_audio_frame_duration2(d.parameters, src->nBlockAlign);
  if (perBlock <= 0) perBlock = d.context->frame_size;
  if (perBlock <= 0) {
    // Twice the block's share of the average rate, for variable rates.
    const uint64_t guess = 2 * (uint64_t{src->nBlockAlign} * src->nSamplesPerSec / average + 1);
    if (guess <= INT_MAX) perBlock = static_cast<int>(guess);
  }
  if (perBlock <= 0) return false;
  d.unitFrames = static_cast<uint32_t>(perBlock);
  d.peakByteRate = PeakMpegBitRate(codec->id) / 8;
  if (d.parser != nullptr) {
    // A parsed packet is one coded frame, whatever the block alignment says; its size comes
    // from the average rate, halved for variable rates.
    const uint64_t frameBytes = uint64_t{average} * d.unitFrames / src->nSamplesPerSec;
    d.unitBytes = static_cast<uint32_t>(std::clamp<uint64_t>(frameBytes / 2, 1, UINT32_MAX));
    d.reserveUnits = 1;
  } else {
    d.unitBytes = src->nBlockAlign;
    // Blocks of a fixed duration: the rate they make.
    if (d.peakByteRate == 0 && av_get_audio_frame_duration2(d.parameters, src->nBlockAlign) > 0) {
      const uint64_t rate =
          (uint64_t{src->nBlockAlign} * src->nSamplesPerSec + d.unitFrames - 1) / d.unitFrames;
      d.peakByteRate = static_cast<uint32_t>(std::min<uint64_t>(rate, UINT32_MAX));
    }
  }
  if (codec->capabilities & AV_CODEC_CAP_DELAY) ++d.reserveUnits;
  return true;
}

const ModuleHost* host = nullptr;  // set once, before any other entry is called

std::string ErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}

// FFmpeg's own log goes to the program's diagnostics, never straight to standard error.
void Log(void* object, int level, const char* format, va_list arguments) {
  if (level > av_log_get_level() || !host->diagnosing()) return;
  char line[1024];
  int prefix = 1;
  av_log_format_line2(object, level, format, arguments, line, sizeof line, &prefix);
  const size_t length = std::strlen(line);
  if (length > 0 && line[length - 1] == '\n') line[length - 1] = '\0';
  host->diagnose("ffmpeg", line);
}

void Attach(const ModuleHost* theHost) {
  host = theHost;
  av_log_set_level(AV_LOG_WARNING);
  av_log_set_callback(&Log);
}

void* Open(const WAVEFORMATEX* src, const WAVEFORMATEX* dst) {
  const AVCodec* codec = avcodec_find_decoder(CodecFor(src));
  if (codec == nullptr || src->nSamplesPerSec > INT_MAX) return nullptr;
  std::unique_ptr<Decoder> d(new (std::nothrow) Decoder);
  if (d == nullptr) return nullptr;
  d->context = avcodec_alloc_context3(codec);
  if (d->context == nullptr || !SetUpContext(d->context, src)) return nullptr;
  if (const int opened = avcodec_open2(d->context, codec, nullptr); opened < 0) {
    ModuleDiagnose(host, "ffmpeg", "%s: %s", codec->name, ErrorText(opened).c_str());
    return nullptr;
  }
  d->parameters = avcodec_parameters_alloc();
  if (d->parameters == nullptr || avcodec_parameters_from_context(d->parameters, d->context) < 0) {
    return nullptr;
  }
  d->parser = av_parser_init(codec->id);
  if (d->parser != nullptr) {
    d->parserContext = avcodec_alloc_context3(nullptr);
    if (d->parserContext == nullptr) return nullptr;
    d->parserContext->codec_id = codec->id;
  }
  d->packet = av_packet_alloc();
  d->frame = av_frame_alloc();
  if (d->packet == nullptr || d->frame == nullptr) return nullptr;

  d->outFormat = SampleFormatOf(dst);
  d->rate = static_cast<int>(src->nSamplesPerSec);
  d->channels = dst->nChannels;
  d->frameBytes = dst->nBlockAlign;
  d->blockAlign = src->nBlockAlign;
  if (d->outFormat == AV_SAMPLE_FMT_NONE || !SetUpUnits(*d, src, codec)) return nullptr;
  return d.release();
}

uint32_t OutputBound(void* state, uint32_t srcBytes) {
  const Decoder& d = *static_cast<const Decoder*>(state);
  const uint64_t units = (uint64_t{srcBytes} + d.unitBytes - 1) / d.unitBytes + d.reserveUnits;
  const uint64_t perUnit = uint64_t{d.unitFrames} * d.frameBytes;
  if (units > (UINT32_MAX - 1) / perUnit) return UINT32_MAX;
  return static_cast<uint32_t>(units * perUnit);
}

bool SetUpResampler(Decoder& d, AVFrame* f) {
  if (d.resampler != nullptr && d.resamplerFormat == f->format &&
      av_channel_layout_compare(&d.resamplerLayout, &f->ch_layout) == 0) {
    return true;
  }
  swr_free(&d.resampler);
  av_channel_layout_uninit(&d.resamplerLayout);
  d.resamplerFormat = AV_SAMPLE_FMT_NONE;
  // Same rate in and out: no resampling, only the sample format and, if the decoder's channel
  // count differs from the header's, a remix.
  AVChannelLayout out{};
  if (f->ch_layout.nb_channels == d.channels) {
    if (av_channel_layout_copy(&out, &f->ch_layout) < 0) return false;
  } else {
    av_channel_layout_default(&out, d.channels);
  }
  const int made = swr_alloc_set_opts2(&d.resampler, &out, d.outFormat, d.rate, &f->ch_layout,
                                       static_cast<AVSampleFormat>(f->format), d.rate, 0, nullptr);
  av_channel_layout_uninit(&out);
  if (made < 0 || swr_init(d.resampler) < 0 ||
      av_channel_layout_copy(&d.resamplerLayout, &f->ch_layout) < 0) {
    swr_free(&d.resampler);
    return false;
  }
  d.resamplerFormat = f->format;
  return true;
}

MMRESULT WriteFrame(Decoder& d, Output& out) {
  AVFrame* f = d.frame;
  if (f->sample_rate != d.rate) return ACMERR_NOTPOSSIBLE;
  const uint64_t bytes = uint64_t{static_cast<uint32_t>(f->nb_samples)} * d.frameBytes;
  // The units promised no more than this; a decoder that gives more is not trusted further.
  if (bytes > out.room) return ACMERR_NOTPOSSIBLE;
  if (!SetUpResampler(d, f)) return MMSYSERR_ERROR;
  uint8_t* planes[] = {out.next};
  const int converted = swr_convert(d.resampler, planes, f->nb_samples,
                                    const_cast<const uint8_t**>(f->extended_data), f->nb_samples);
  if (converted != f->nb_samples) return MMSYSERR_ERROR;
  out.next += bytes;
  out.room -= bytes;
  return MMSYSERR_NOERROR;
}

MMRESULT ReceiveFrames(Decoder& d, Output& out) {
  for (;;) {
    const int got = avcodec_receive_frame(d.context, d.frame);
    if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return MMSYSERR_NOERROR;
    // A damaged frame is left out, as the decoders conceal errors; the stream goes on.
    if (got == AVERROR_INVALIDDATA) {
      d.damaged = true;
      continue;
    }
    if (got < 0) {
      ModuleDiagnose(host, "ffmpeg", "decoding: %s", ErrorText(got).c_str());
      return MMSYSERR_ERROR;
    }
    ++d.framesDecoded;
    const MMRESULT written = WriteFrame(d, out);
    av_frame_unref(d.frame);
    if (written != MMSYSERR_NOERROR) return written;
  }
}

// `data` lies in d.input (then the decoder shares the buffer) or in the parser's own buffer.
MMRESULT DecodePacket(Decoder& d, uint8_t* data, int size, bool inInput, Output& out) {
  if (inInput) {
    d.packet->buf = av_buffer_ref(d.input);
    if (d.packet->buf == nullptr) return MMSYSERR_NOMEM;
  }
  d.packet->data = data;
  d.packet->size = size;
  const int sent = avcodec_send_packet(d.context, d.packet);
  av_packet_unref(d.packet);
  if (sent == AVERROR_INVALIDDATA) {
    d.damaged = true;
    return MMSYSERR_NOERROR;
  }
  if (sent < 0) {
    ModuleDiagnose(host, "ffmpeg", "decoding: %s", ErrorText(sent).c_str());
    return MMSYSERR_ERROR;
  }
  return ReceiveFrames(d, out);
}

MMRESULT Drain(Decoder& d, Output& out) {
  const int sent = avcodec_send_packet(d.context, nullptr);
  if (sent < 0 && sent != AVERROR_EOF) return MMSYSERR_ERROR;
  const MMRESULT result = ReceiveFrames(d, out);
  d.drained = true;
  // Data that the decoder refused from first to last is a failure, not a silent success.
  if (result == MMSYSERR_NOERROR && d.damaged && d.framesDecoded == 0) return ACMERR_NOTPOSSIBLE;
  return result;
}

MMRESULT DecodeBlocks(Decoder& d, uint32_t length, bool end, Output& out, uint32_t* consumed) {
  const uint32_t whole = length - length % d.blockAlign;
  if (whole > 0) {
    if (const MMRESULT r = DecodePacket(d, d.input->data, static_cast<int>(whole), true, out)) {
      return r;
    }
  }
  // The tail of the last portion is decoded when it holds a sample at all (PCM decoders
  // refuse a partial sample frame); otherwise it is dropped.
  const uint32_t tail = length - whole;
  if (tail > 0 && av_get_audio_frame_duration2(d.parameters, static_cast<int>(tail)) > 0) {
    if (const MMRESULT r =
            DecodePacket(d, d.input->data + whole, static_cast<int>(tail), true, out)) {
      return r;
    }
  }
  *consumed = length;
  return end ? Drain(d, out) : MMSYSERR_NOERROR;
}

MMRESULT DecodeParsed(Decoder& d, uint32_t length, bool end, Output& out, uint32_t* consumed) {
  // A parse gives at most one packet. Input is taken only while its PCM surely fits; with
  // `end` there must also be room for what the flush gives out, in this same call.
  const uint64_t unit = uint64_t{d.unitFrames} * d.frameBytes;
  const uint64_t need = unit * (1 + (end ? d.reserveUnits : 0));
  uint32_t offset = 0;
  while (offset < length && out.room >= need) {
    uint8_t* data = nullptr;
    int size = 0;
    const int used =
        av_parser_parse2(d.parser, d.parserContext, &data, &size, d.input->data + offset,
                         static_cast<int>(length - offset), AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
    if (used < 0) return MMSYSERR_ERROR;
    offset += static_cast<uint32_t>(used);
    if (size > 0) {
      const auto at = reinterpret_cast<uintptr_t>(data);
      const auto first = reinterpret_cast<uintptr_t>(d.input->data);
      const bool inInput = at >= first && at < first + length;
      if (const MMRESULT r = DecodePacket(d, data, size, inInput, out)) return r;
    } else if (used == 0) {
      break;
    }
  }
  *consumed = offset;
  if (!end || offset < length) return MMSYSERR_NOERROR;
  for (;;) {
    uint8_t* data = nullptr;
    int size = 0;
    av_parser_parse2(d.parser, d.parserContext, &data, &size, nullptr, 0, AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    if (size <= 0) break;
    if (const MMRESULT r = DecodePacket(d, data, size, false, out)) return r;
  }
  return Drain(d, out);
}

MMRESULT Decode(void* state, const uint8_t* src, uint32_t srcLength, uint32_t* consumed,
                uint8_t* out, uint32_t* produced, bool end) {
  Decoder& d = *static_cast<Decoder*>(state);
  *consumed = 0;
  *produced = 0;
  if (d.broken) return MMSYSERR_NOMEM;
  if (srcLength > INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE) return MMSYSERR_INVALPARAM;
  if (d.drained) {
    if (srcLength == 0) return MMSYSERR_NOERROR;
    avcodec_flush_buffers(d.context);
    d.drained = false;
  }
  d.used = true;

  const size_t padded = size_t{srcLength} + AV_INPUT_BUFFER_PADDING_SIZE;
  if ((d.input == nullptr || d.input->size < padded) && av_buffer_realloc(&d.input, padded) < 0) {
    return MMSYSERR_NOMEM;
  }
  if (av_buffer_make_writable(&d.input) < 0) return MMSYSERR_NOMEM;
  if (srcLength > 0) std::memcpy(d.input->data, src, srcLength);
  std::memset(d.input->data + srcLength, 0, AV_INPUT_BUFFER_PADDING_SIZE);

  Output o{out, OutputBound(state, srcLength)};
  const MMRESULT result = d.parser != nullptr ? DecodeParsed(d, srcLength, end, o, consumed)
                                              : DecodeBlocks(d, srcLength, end, o, consumed);
  *produced = static_cast<uint32_t>(o.next - out);
  return result;
}

void Reset(void* state) {
  Decoder& d = *static_cast<Decoder*>(state);
  if (!d.used) return;
  avcodec_flush_buffers(d.context);
  if (d.parserContext != nullptr) {
    const AVCodecID id = d.context->codec_id;
    if (d.parser != nullptr) av_parser_close(d.parser);
    d.parser = av_parser_init(id);
    d.broken = d.parser == nullptr;
  }
  d.used = false;
  d.drained = false;
  d.framesDecoded = 0;
  d.damaged = false;
}

void Close(void* state) {
  delete static_cast<Decoder*>(state);
}

uint32_t PeakByteRate(void* state) {
  return static_cast<const Decoder*>(state)->peakByteRate;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) const AcmModule rtplayer_acm_module = {
    kAcmModuleVersion, Attach, {Handles, Open, OutputBound, Decode, Reset, Close, PeakByteRate}};
