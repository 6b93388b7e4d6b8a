// Benchmark driver: the one-pass meter on its own, without the encoder
// component around it (bench/meter.sh times it beside sonorix-cli measure).
//
//   meter_file [--loudness] FILE...
//
// Prints one line per audio track: peak, mean level, and with --loudness
// integrated loudness, range, true peak and how many true-peak blocks the
// interpolator ran over. Exits 1 if a file fails.
#include <cstdio>
#include <string>
#include <vector>

#include "engine/track_meter.h"

using namespace sonorix;

int main(int argc, char** argv) {
    MeterRequest request;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--loudness")
            request.loudness = true;
        else
            files.push_back(a);
    }
    int status = 0;
    for (const std::string& file : files) {
        const MeterResult r = measure_tracks(file, request);
        if (!r.error.empty()) {
            std::fprintf(stderr, "%s\n", r.error.c_str());
            status = 1;
            continue;
        }
        for (size_t t = 0; t < r.tracks.size(); ++t) {
            const TrackMeasure& m = r.tracks[t];
            std::printf("%s a:%zu peak %.2f mean %.2f", file.c_str(), t, m.sample_peak_db.value_or(0),
                        m.rms_db.value_or(0));
            if (request.loudness) {
                std::printf(" I %.2f LRA %.2f TP %.2f blocks %lld/%lld", *m.integrated, *m.range, *m.true_peak,
                            static_cast<long long>(m.true_peak_blocks_interpolated),
                            static_cast<long long>(m.true_peak_blocks));
            }
            std::printf("\n");
        }
    }
    return status;
}
