#include "media/Fft.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <mutex>

namespace platform {

namespace {
// FFTW's planner is not thread-safe (executing a plan is).
std::mutex g_planner;
}  // namespace

std::vector<float> realFftMagnitudes(const float* samples, int n) {
    if (n < 2 || (n & (n - 1)) != 0) {
        return {};
    }
    float* in = fftwf_alloc_real(static_cast<size_t>(n));
    fftwf_complex* out = fftwf_alloc_complex(static_cast<size_t>(n / 2 + 1));
    fftwf_plan plan = nullptr;
    {
        std::lock_guard lock(g_planner);
        plan = fftwf_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE);
    }
    std::vector<float> magnitudes;
    if (plan) {
        std::copy(samples, samples + n, in);
        fftwf_execute(plan);
        magnitudes.resize(static_cast<size_t>(n / 2));
        for (int k = 0; k < n / 2; ++k) {
            magnitudes[static_cast<size_t>(k)] = std::hypot(out[k][0], out[k][1]);
        }
        std::lock_guard lock(g_planner);
        fftwf_destroy_plan(plan);
    }
    fftwf_free(in);
    fftwf_free(out);
    return magnitudes;
}

}  // namespace platform
