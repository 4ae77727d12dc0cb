// Step tables of the radiography parameters.

#include "data/step_tables.h"

#include <algorithm>
#include <atomic>

namespace kestro::steps {
namespace {

constexpr int kMa[2][kMaCount] = {
    {100, 125, 160, 200, 250, 320, 400, 500, 630, 800, 1000, 1250, 1600, 2000, 2500, 3200, 4000, 5000, 6300, 8000,
     10000},
    {100, 125, 160, 200, 250, 320, 400, 500, 630, 800, 1000, 1250, 1600, 2000, 2500, 3000, 4000, 5000, 6000, 8000,
     10000},
};

constexpr const char* kMaText[2][kMaCount] = {
    {"00100", "00125", "00160", "00200", "00250", "00320", "00400", "00500", "00630", "00800", "01000",
     "01250", "01600", "02000", "02500", "03200", "04000", "05000", "06300", "08000", "10000"},
    {"00100", "00125", "00160", "00200", "00250", "00320", "00400", "00500", "00630", "00800", "01000",
     "01250", "01600", "02000", "02500", "03000", "04000", "05000", "06000", "08000", "10000"},
};

constexpr int kMs[kMsCount] = {10,   12,   16,   20,   25,    32,    40,    50,    63,    80,    100,  125,  160,
                               200,  250,  320,  400,  500,   630,   800,   1000,  1250,  1600,  2000, 2500, 3200,
                               4000, 5000, 6300, 8000, 10000, 12500, 16000, 20000, 25000, 32000, 40000, 50000, 63000};

constexpr int kMas[kMasCount] = {5,   6,   8,   10,  12,  16,   20,   25,   32,   40,   50,   63,   80,   100,  125,  160, 200,
                                 250, 320, 400, 500, 630, 800, 1000, 1250, 1600, 2000, 2500, 3200, 4000, 5000, 6300, 8000, 10000};

std::atomic<int> g_activeMa{0};

int normalise(int variant) { return variant == 1 ? 1 : 0; }

}  // namespace

std::span<const int> maTableVariant(int variant) { return kMa[normalise(variant)]; }
std::span<const char* const> maTextTableVariant(int variant) { return kMaText[normalise(variant)]; }

std::span<const int> maTable() { return maTableVariant(g_activeMa.load()); }
std::span<const char* const> maTextTable() { return maTextTableVariant(g_activeMa.load()); }
int activeMaVariant() { return g_activeMa.load(); }
void chooseMaTable(int which) { g_activeMa.store(normalise(which)); }

std::span<const int> msTable() { return kMs; }
std::span<const int> masTable() { return kMas; }

int indexOf(std::span<const int> table, int value) {
    auto it = std::find(table.begin(), table.end(), value);
    return it == table.end() ? -1 : static_cast<int>(it - table.begin());
}

}  // namespace kestro::steps
