// Streams an audio file as mono samples at a fixed rate: libsndfile decodes
// (WAV, AIFF, FLAC, Ogg, ...), the channels are averaged, and libsoxr (its
// high-quality setting: 20-bit precision, linear phase, pass band to 91% of
// the lower Nyquist frequency, one thread) converts the rate when the file's
// differs. The whole file is never held in memory, so hours of audio cost no
// more than seconds.
#ifndef KADENZO_TOOLS_AUDIO_FILE_H
#define KADENZO_TOOLS_AUDIO_FILE_H

#include <string>
#include <vector>

class AudioFileReader {
  public:
    AudioFileReader() = default;
    AudioFileReader(const AudioFileReader&) = delete;
    AudioFileReader& operator=(const AudioFileReader&) = delete;
    ~AudioFileReader();

    // Opens path for reading at outputRate. On failure returns false and
    // error() holds one line saying why (missing, unreadable, empty, not
    // audio, no samples).
    bool open(const std::string& path, double outputRate);

    // Reads up to max mono samples at the output rate into out. Returns the
    // number read, 0 at the end of the file, -1 on a decoding error or a
    // sample that is not a finite number (error() says which and where).
    long read(double* out, long max);

    const std::string& error() const { return error_; }
    double fileRate() const { return fileRate_; }
    int channels() const { return channels_; }
    long long fileFrames() const { return fileFrames_; }
    double durationSeconds() const;
    // Seconds of the file decoded so far (for progress reports).
    double secondsDecoded() const;
    bool resampling() const { return resampler_ != nullptr; }
    const std::string& formatName() const { return formatName_; }

  private:
    void close();
    // Decodes the next chunk into mono_; false at the end or on error.
    bool decodeChunk();

    struct sf_private_tag* file_ = nullptr;
    struct soxr* resampler_ = nullptr;
    std::string error_;
    std::string formatName_;
    std::string pathForMessages_;
    double fileRate_ = 0.0;
    double outputRate_ = 0.0;
    int channels_ = 0;
    long long fileFrames_ = 0;
    long long framesDecoded_ = 0;
    bool endOfFile_ = false;
    bool drained_ = false;  // the converter has given out everything
    bool failed_ = false;
    bool integerSamples_ = false;  // decoded from integers: always within +-1

    std::vector<float> interleaved_;
    std::vector<float> mono_;  // decoded, not yet passed on
    std::size_t monoStart_ = 0;
    std::vector<float> resampled_;
};

#endif
