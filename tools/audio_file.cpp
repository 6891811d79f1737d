#include "audio_file.h"

#include <samplerate.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <algorithm>

namespace {

const long kChunkFrames = 4096;
// Audio lies within +-1; floating-point files may go somewhat beyond, but a
// sample beyond this is no audio at all (a broken or foreign file).
const double kLargestSample = 1e6;

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

}  // namespace

AudioFileReader::~AudioFileReader() {
    close();
}

void AudioFileReader::close() {
    if (resampler_ != nullptr) resampler_ = src_delete(resampler_);
    if (file_ != nullptr) {
        sf_close(file_);
        file_ = nullptr;
    }
}

bool AudioFileReader::open(const std::string& path, double outputRate) {
    close();
    error_.clear();
    endOfFile_ = failed_ = false;
    framesDecoded_ = 0;
    mono_.clear();
    monoStart_ = 0;
    outputRate_ = outputRate;

    // Say plainly what is wrong with the path before asking the decoder.
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
        error_ = "cannot open " + quoted(path) + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        error_ = quoted(path) + " is a directory, not an audio file";
        return false;
    }
    if (std::FILE* probe = std::fopen(path.c_str(), "rb")) {
        std::fclose(probe);
    } else {
        error_ = "cannot open " + quoted(path) + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISREG(info.st_mode) && info.st_size == 0) {
        error_ = quoted(path) + " is empty";
        return false;
    }

    SF_INFO format;
    std::memset(&format, 0, sizeof format);
    file_ = sf_open(path.c_str(), SFM_READ, &format);
    if (file_ == nullptr) {
        error_ =
            quoted(path) + " is not an audio file that can be read (" + sf_strerror(nullptr) + ")";
        return false;
    }
    channels_ = format.channels;
    fileRate_ = format.samplerate;
    fileFrames_ = format.frames;
    if (channels_ < 1 || fileRate_ <= 0.0) {
        error_ = quoted(path) + " has no usable channels or sample rate";
        close();
        return false;
    }
    if (fileFrames_ <= 0) {
        error_ = quoted(path) + " holds no audio samples";
        close();
        return false;
    }

    SF_FORMAT_INFO formatInfo;
    formatInfo.format = format.format & SF_FORMAT_TYPEMASK;
    formatName_ = sf_command(nullptr, SFC_GET_FORMAT_INFO, &formatInfo, sizeof formatInfo) == 0
                      ? formatInfo.name
                      : "audio";

    // The converter handles ratios up to 256 either way.
    if (fileRate_ * 256.0 < outputRate_ || fileRate_ > outputRate_ * 256.0) {
        char rates[160];
        std::snprintf(rates, sizeof rates,
                      " has a sample rate of %g Hz, which cannot be converted to %g Hz "
                      "(rates from %g Hz to %g Hz can)",
                      fileRate_, outputRate_, std::ceil(outputRate_ / 256.0), outputRate_ * 256.0);
        error_ = quoted(path) + rates;
        close();
        return false;
    }
    if (fileRate_ != outputRate_) {
        int status = 0;
        resampler_ = src_new(SRC_SINC_BEST_QUALITY, 1, &status);
        if (resampler_ == nullptr) {
            error_ = std::string("cannot start the sample rate converter: ") + src_strerror(status);
            close();
            return false;
        }
    }
    interleaved_.resize(static_cast<std::size_t>(kChunkFrames) * channels_);
    resampled_.resize(kChunkFrames);
    pathForMessages_ = path;
    return true;
}

double AudioFileReader::durationSeconds() const {
    return fileRate_ > 0.0 ? static_cast<double>(fileFrames_) / fileRate_ : 0.0;
}

double AudioFileReader::secondsDecoded() const {
    return fileRate_ > 0.0 ? static_cast<double>(framesDecoded_) / fileRate_ : 0.0;
}

bool AudioFileReader::decodeChunk() {
    mono_.clear();
    monoStart_ = 0;
    const sf_count_t got = sf_readf_float(file_, interleaved_.data(), kChunkFrames);
    if (got <= 0) {
        endOfFile_ = true;
        if (sf_error(file_) != SF_ERR_NO_ERROR) {
            error_ = quoted(pathForMessages_) + " could not be decoded: " + sf_strerror(file_);
            failed_ = true;
        }
        return false;
    }
    mono_.resize(static_cast<std::size_t>(got));
    const float* frame = interleaved_.data();
    for (sf_count_t i = 0; i < got; ++i, frame += channels_) {
        double sum = 0.0;
        for (int c = 0; c < channels_; ++c) {
            if (!std::isfinite(frame[c]) || std::fabs(frame[c]) > kLargestSample) {
                char at[96];
                std::snprintf(at, sizeof at, "%.3f s",
                              static_cast<double>(framesDecoded_ + i) / fileRate_);
                if (std::isfinite(frame[c])) {
                    char value[32];
                    std::snprintf(value, sizeof value, "%g", static_cast<double>(frame[c]));
                    error_ = quoted(pathForMessages_) + " holds a sample of " + value +
                             ", far beyond the range of audio (+-1), at " + at;
                } else {
                    error_ = quoted(pathForMessages_) +
                             " holds a sample that is not a finite number (NaN or infinity) at " +
                             at;
                }
                failed_ = true;
                return false;
            }
            sum += frame[c];
        }
        mono_[static_cast<std::size_t>(i)] = static_cast<float>(sum / channels_);
    }
    framesDecoded_ += got;
    return true;
}

long AudioFileReader::read(double* out, long max) {
    if (file_ == nullptr || failed_) return -1;
    long produced = 0;
    while (produced < max) {
        if (monoStart_ == mono_.size() && !endOfFile_) {
            decodeChunk();
            if (failed_) return -1;
        }
        if (resampler_ == nullptr) {
            if (monoStart_ == mono_.size()) break;  // end of file
            const std::size_t n =
                std::min(mono_.size() - monoStart_, static_cast<std::size_t>(max - produced));
            for (std::size_t i = 0; i < n; ++i) out[produced + i] = mono_[monoStart_ + i];
            monoStart_ += n;
            produced += static_cast<long>(n);
            continue;
        }
        SRC_DATA data;
        std::memset(&data, 0, sizeof data);
        data.data_in = mono_.data() + monoStart_;
        data.input_frames = static_cast<long>(mono_.size() - monoStart_);
        data.data_out = resampled_.data();
        data.output_frames = std::min(static_cast<long>(resampled_.size()), max - produced);
        data.src_ratio = outputRate_ / fileRate_;
        data.end_of_input = endOfFile_ ? 1 : 0;
        const int status = src_process(resampler_, &data);
        if (status != 0) {
            error_ = quoted(pathForMessages_) + ": sample rate conversion from " +
                     std::to_string(static_cast<long>(fileRate_)) + " Hz failed: " +
                     src_strerror(status);
            failed_ = true;
            return -1;
        }
        monoStart_ += static_cast<std::size_t>(data.input_frames_used);
        for (long i = 0; i < data.output_frames_gen; ++i) out[produced + i] = resampled_[i];
        produced += data.output_frames_gen;
        // Nothing in, nothing out: either more input is needed (decoded on
        // the next round) or, after the last input, the converter is drained.
        if (data.output_frames_gen == 0 && data.input_frames_used == 0 && endOfFile_) break;
    }
    return produced;
}
