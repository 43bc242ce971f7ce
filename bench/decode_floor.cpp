// SPDX-License-Identifier: GPL-3.0-or-later
// The floor for the engine's throughput: FFmpeg's own demuxer and decoder over the same file,
// decoding every packet and doing nothing else with the samples.
//   decode_floor FILE.wav   prints the number of sample frames decoded
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cstdio>
#include <memory>

namespace {

struct FormatCloser {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFreer {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};

// Takes every frame the decoder has ready; false on a decoding error.
bool Drain(AVCodecContext* codec, AVFrame* frame, int64_t& frames) {
  for (;;) {
    const int result = avcodec_receive_frame(codec, frame);
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF) return true;
    if (result < 0) return false;
    frames += frame->nb_samples;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: decode_floor FILE\n");
    return 2;
  }
  AVFormatContext* opened = nullptr;
  if (avformat_open_input(&opened, argv[1], nullptr, nullptr) < 0) return 1;
  std::unique_ptr<AVFormatContext, FormatCloser> format(opened);
  if (avformat_find_stream_info(format.get(), nullptr) < 0) return 1;
  const AVCodec* decoder = nullptr;
  const int stream = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
  if (stream < 0) return 1;
  std::unique_ptr<AVCodecContext, CodecFreer> codec(avcodec_alloc_context3(decoder));
  if (!codec || avcodec_parameters_to_context(codec.get(), format->streams[stream]->codecpar) < 0 ||
      avcodec_open2(codec.get(), decoder, nullptr) < 0) {
    return 1;
  }

  std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
  std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
  int64_t frames = 0;
  while (av_read_frame(format.get(), packet.get()) >= 0) {
    const bool ours = packet->stream_index == stream;
    if (ours && avcodec_send_packet(codec.get(), packet.get()) < 0) return 1;
    av_packet_unref(packet.get());
    if (ours && !Drain(codec.get(), frame.get(), frames)) return 1;
  }
  avcodec_send_packet(codec.get(), nullptr);
  if (!Drain(codec.get(), frame.get(), frames)) return 1;
  std::printf("%lld\n", static_cast<long long>(frames));
  return 0;
}
