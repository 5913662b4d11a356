// forest_mosaic: the test's own account of forest by definition over the
// mosaic of a batch, written apart from the programs (it shares no code with
// them), and the shapes the test draws into generated inputs so that patches
// run across the tiles' borders.
//
//   forest_mosaic stamp DESIGN TILE ROW COLUMN INPUT_DIR DATAMASK_DIR LAST_YEAR
//       draws DESIGN into the generated inputs of TILE, whose upper-left
//       pixel is (ROW, COLUMN) of the mosaic: INPUT_DIR/TILE/TILE_{TCC,TCH,
//       loss}_<year>.tif and DATAMASK_DIR/TILE_datamask.tif, changed in place.
//       DESIGN holds one shape a line, in the mosaic's pixels (inclusive),
//       drawn in the order given ('#' starts a comment):
//         moat R0 R1 C0 C1       water (datamask 2), no cover, height or loss
//         canopy R0 R1 C0 C1     land, cover 80 % and height 12 in every year
//         cleared Y R0 R1 C0 C1  loss in year Y; cover 5 and no height from Y
//   forest_mosaic label NAME DIR LAST_YEAR C:H:HA 4|8 OUT [--zone Z:W:S:E:N]...
//                       [--probe YEAR:ROW:COLUMN]...
//       labels the mosaic DIR/{TCC,TCH,Loss}_<year>_NAME.img with its
//       datamask DIR/NAME_datamask.tif by a flood fill of each year's canopy
//       (datamask 1, TCC >= C, TCH >= H) through 4 or 8 neighbours; a patch
//       of at least HA hectares (its cells' areas on the WGS84 ellipsoid
//       summed) is forest. Writes OUT/NAME_forest.csv (year,forest_ha,
//       forest_loss_ha) and, with zones, OUT/NAME_zone_forest.csv (zone,
//       year,forest_ha,forest_loss_ha), hectares to nine decimals. A zone is
//       the rectangle of longitudes W to E and latitudes S to N: a cell counts
//       by the share of its rectangle inside, the product of the shares of its
//       width and of its height. Each probe prints the pixel's patch that year
//       on standard output: "probe YEAR ROW COLUMN PIXELS AREA_M2 forest|small"
//       ("none" for a pixel that is not canopy).
//
// Exit status 0, 1 on a raster that cannot be read or written, 2 on a wrong
// call.
#include <gdal.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr double CELL_DEGREES = 0.00025;
constexpr int FIRST_YEAR = 2000;
constexpr int FIRST_COVER_YEAR = 1997;  // the inputs hold cover from 1997

[[noreturn]] void fail(const std::string& why, int status = 1) {
    std::fprintf(stderr, "forest_mosaic: %s\n", why.c_str());
    std::exit(status);
}

// ---- the ellipsoid's cell areas -------------------------------------------

// Square metres of a cell of CELL_DEGREES a side between latitudes `south`
// and `north` on the WGS84 ellipsoid: a^2 (1 - e^2) dlambda times the
// integral of cos(phi) / (1 - e^2 sin^2 phi)^2 over the cell's latitudes,
// by Gauss-Legendre quadrature in long double (over a few thousandths of a
// degree the integrand is a low polynomial to far better than a double's
// precision; subtracting the closed form's values would lose five digits).
double cell_m2(double south, double north) {
    const long double a = 6378137.0L, f = 1 / 298.257223563L, e2 = f * (2 - f);
    const long double pi = 3.141592653589793238462643383279502884L;
    const long double lo = south * pi / 180, hi = north * pi / 180;
    const long double half = (hi - lo) / 2, mid = (hi + lo) / 2;
    // five-point Gauss-Legendre nodes and weights on [-1, 1]
    const std::array<long double, 5> node = {
        0.0L, 0.5384693101056830910363144207002088L, -0.5384693101056830910363144207002088L,
        0.9061798459386639927976268782993929L, -0.9061798459386639927976268782993929L};
    const std::array<long double, 5> weight = {
        0.5688888888888888888888888888888889L, 0.4786286704993664680412915148356382L,
        0.4786286704993664680412915148356382L, 0.2369268850561890875142640407199173L,
        0.2369268850561890875142640407199173L};
    long double integral = 0;
    for (std::size_t k = 0; k < node.size(); ++k) {
        const long double phi = mid + half * node[k];
        const long double s = std::sin(phi);
        const long double d = 1 - e2 * s * s;
        integral += weight[k] * std::cos(phi) / (d * d);
    }
    integral *= half;
    return static_cast<double>(a * a * (1 - e2) * (CELL_DEGREES * pi / 180) * integral);
}

// ---- rasters ----------------------------------------------------------------

struct Raster {
    int width = 0, height = 0;
    std::array<double, 6> transform{};
    std::vector<uint8_t> bytes;
};

Raster read_raster(const std::string& path) {
    GDALDatasetH ds = GDALOpen(path.c_str(), GA_ReadOnly);
    if (ds == nullptr) fail("cannot open " + path);
    Raster r;
    r.width = GDALGetRasterXSize(ds);
    r.height = GDALGetRasterYSize(ds);
    if (GDALGetGeoTransform(ds, r.transform.data()) != CE_None)
        fail(path + " has no georeferencing");
    r.bytes.resize(static_cast<std::size_t>(r.width) * r.height);
    if (GDALRasterIO(GDALGetRasterBand(ds, 1), GF_Read, 0, 0, r.width, r.height, r.bytes.data(),
                     r.width, r.height, GDT_Byte, 0, 0) != CE_None)
        fail("cannot read " + path);
    GDALClose(ds);
    return r;
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream file(path);
    file << text;
    file.close();
    if (!file) fail("cannot write " + path);
}

// ---- stamp --------------------------------------------------------------------

struct Shape {
    std::string kind;  // moat, canopy or cleared
    int year = 0;      // cleared only
    int r0 = 0, r1 = 0, c0 = 0, c1 = 0;
};

std::vector<Shape> read_design(const std::string& path) {
    std::ifstream in(path);
    if (!in) fail("cannot read " + path);
    std::vector<Shape> shapes;
    for (std::string line; std::getline(in, line);) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        Shape s;
        if (!(words >> s.kind)) continue;
        if (s.kind == "cleared") words >> s.year;
        if (!(words >> s.r0 >> s.r1 >> s.c0 >> s.c1) || s.r1 < s.r0 || s.c1 < s.c0 ||
            (s.kind != "moat" && s.kind != "canopy" && s.kind != "cleared"))
            fail("not a shape in " + path + ": " + line, 2);
        shapes.push_back(s);
    }
    return shapes;
}

// The byte a shape gives a layer ("datamask", "TCC", "TCH" or "loss") of
// `year`, or -1 where it leaves the layer as it is.
int shape_value(const Shape& s, const std::string& layer, int year) {
    if (s.kind == "moat") return layer == "datamask" ? 2 : 0;
    if (s.kind == "canopy")
        return layer == "datamask" ? 1 : layer == "TCC" ? 80 : layer == "TCH" ? 12 : 0;
    if (layer == "loss") return year == s.year ? 1 : -1;
    if (layer == "TCC" && year >= s.year) return 5;
    if (layer == "TCH" && year >= s.year) return 0;
    return -1;
}

void stamp_file(const std::string& path, const std::vector<Shape>& shapes, const std::string& layer,
                int year, int row, int column) {
    GDALDatasetH ds = GDALOpen(path.c_str(), GA_Update);
    if (ds == nullptr) fail("cannot open " + path + " to change it");
    const int width = GDALGetRasterXSize(ds), height = GDALGetRasterYSize(ds);
    for (const Shape& s : shapes) {
        const int value = shape_value(s, layer, year);
        // the shape in the tile's pixels, clipped to it
        const int r0 = std::max(s.r0 - row, 0), r1 = std::min(s.r1 - row, height - 1);
        const int c0 = std::max(s.c0 - column, 0), c1 = std::min(s.c1 - column, width - 1);
        if (value < 0 || r0 > r1 || c0 > c1) continue;
        std::vector<uint8_t> fill(static_cast<std::size_t>(r1 - r0 + 1) * (c1 - c0 + 1),
                                  static_cast<uint8_t>(value));
        if (GDALRasterIO(GDALGetRasterBand(ds, 1), GF_Write, c0, r0, c1 - c0 + 1, r1 - r0 + 1,
                         fill.data(), c1 - c0 + 1, r1 - r0 + 1, GDT_Byte, 0, 0) != CE_None)
            fail("cannot write " + path);
    }
    GDALClose(ds);
}

int stamp(const std::vector<std::string>& args) {
    if (args.size() != 7)
        fail("stamp needs DESIGN TILE ROW COLUMN INPUT_DIR DATAMASK_DIR LAST_YEAR", 2);
    const std::vector<Shape> shapes = read_design(args[0]);
    const std::string& tile = args[1];
    const int row = std::stoi(args[2]), column = std::stoi(args[3]), last = std::stoi(args[6]);
    const std::string prefix = args[4] + "/" + tile + "/" + tile + "_";
    stamp_file(args[5] + "/" + tile + "_datamask.tif", shapes, "datamask", 0, row, column);
    for (int y = FIRST_COVER_YEAR; y <= last; ++y) {
        const std::string year = std::to_string(y);
        stamp_file(prefix + "TCC_" + year + ".tif", shapes, "TCC", y, row, column);
        if (y < FIRST_YEAR) continue;
        stamp_file(prefix + "TCH_" + year + ".tif", shapes, "TCH", y, row, column);
        stamp_file(prefix + "loss_" + year + ".tif", shapes, "loss", y, row, column);
    }
    return 0;
}

// ---- label --------------------------------------------------------------------

struct Definition {
    int cover = 0, height = 0;
    double hectares = 0;
};

Definition parse_definition(const std::string& text) {
    Definition d;
    char c1 = 0, c2 = 0;
    std::istringstream in(text);
    if (!(in >> d.cover >> c1 >> d.height >> c2 >> d.hectares) || c1 != ':' || c2 != ':')
        fail("not a definition C:H:HA: " + text, 2);
    return d;
}

// A rectangle of longitudes and latitudes, and the share of each column's and
// row's cells inside it.
struct Zone {
    std::string name;
    double west = 0, south = 0, east = 0, north = 0;
    std::vector<double> column_share, row_share;
    std::array<int, 2> columns{0, -1}, rows{0, -1};  // first and last cell with a share
};

Zone parse_zone(const std::string& text) {
    Zone z;
    std::istringstream in(text);
    std::getline(in, z.name, ':');
    char c[4] = {};
    if (z.name.empty() || !(in >> z.west >> c[0] >> z.south >> c[1] >> z.east >> c[2] >> z.north) ||
        c[0] != ':' || c[1] != ':' || c[2] != ':' || z.east <= z.west || z.north <= z.south)
        fail("not a zone NAME:W:S:E:N: " + text, 2);
    return z;
}

// The first and last of `share` above 0 ({0, -1} when none is).
std::array<int, 2> reach(const std::vector<double>& share) {
    std::array<int, 2> span{0, -1};
    for (int i = 0; i < static_cast<int>(share.size()); ++i) {
        if (share[static_cast<std::size_t>(i)] == 0) continue;
        if (span[1] < span[0]) span[0] = i;
        span[1] = i;
    }
    return span;
}

// The share of each of `n` cells, cell i running from i to i + 1, that lies
// between `from` and `to` (in cells, so that a cell wholly inside has a
// share of exactly 1).
std::vector<double> shares(int n, double from, double to) {
    std::vector<double> share(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const double inside = std::min<double>(i + 1, to) - std::max<double>(i, from);
        share[static_cast<std::size_t>(i)] = std::clamp(inside, 0.0, 1.0);
    }
    return share;
}

enum : uint8_t { NONE = 0, CANOPY, SEEN, FOREST, SMALL, PROBED };

class Labeller {
  public:
    Labeller(int width, int height, int connectivity)
        : width_(width), height_(height), connectivity_(connectivity) {}

    // Visits the patch of pixels in state `from` holding pixel `seed` (itself
    // in that state), sets each to `to` and calls visit(pixel) for each.
    template <typename Visit>
    void fill(std::vector<uint8_t>& state, std::size_t seed, uint8_t from, uint8_t to,
              Visit visit) {
        stack_.clear();
        state[seed] = to;
        stack_.push_back(seed);
        while (!stack_.empty()) {
            const std::size_t p = stack_.back();
            stack_.pop_back();
            visit(p);
            const int r = static_cast<int>(p / static_cast<std::size_t>(width_));
            const int c = static_cast<int>(p % static_cast<std::size_t>(width_));
            for (int dr = -1; dr <= 1; ++dr) {
                for (int dc = -1; dc <= 1; ++dc) {
                    if ((dr == 0 && dc == 0) || (connectivity_ == 4 && dr != 0 && dc != 0))
                        continue;
                    const int nr = r + dr, nc = c + dc;
                    if (nr < 0 || nr >= height_ || nc < 0 || nc >= width_) continue;
                    const std::size_t q = static_cast<std::size_t>(nr) * width_ + nc;
                    if (state[q] != from) continue;
                    state[q] = to;
                    stack_.push_back(q);
                }
            }
        }
    }

  private:
    int width_, height_, connectivity_;
    std::vector<std::size_t> stack_;
};

// A zone's name as a CSV field: quoted, its quotes doubled, when it holds a
// comma, a quote or a line break.
std::string csv_field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

struct Probe {
    int year = 0, row = 0, column = 0;
};

int label(const std::vector<std::string>& args) {
    if (args.size() < 6) fail("label needs NAME DIR LAST_YEAR C:H:HA 4|8 OUT", 2);
    const std::string &name = args[0], &dir = args[1], &out = args[5];
    const int last = std::stoi(args[2]);
    const Definition def = parse_definition(args[3]);
    const int connectivity = std::stoi(args[4]);
    if (connectivity != 4 && connectivity != 8) fail("connectivity is 4 or 8", 2);
    std::vector<Zone> zones;
    std::vector<Probe> probes;
    for (std::size_t k = 6; k < args.size(); ++k) {
        if (args[k] == "--zone" && k + 1 < args.size()) {
            zones.push_back(parse_zone(args[++k]));
        } else if (args[k] == "--probe" && k + 1 < args.size()) {
            Probe p;
            char c1 = 0, c2 = 0;
            std::istringstream in(args[++k]);
            if (!(in >> p.year >> c1 >> p.row >> c2 >> p.column) || c1 != ':' || c2 != ':')
                fail("not a probe YEAR:ROW:COLUMN: " + args[k], 2);
            probes.push_back(p);
        } else {
            fail("unknown argument " + args[k], 2);
        }
    }

    const Raster datamask = read_raster(dir + "/" + name + "_datamask.tif");
    const int width = datamask.width, height = datamask.height;
    const std::size_t pixels = datamask.bytes.size();
    const auto product = [&](const char* kind, int year) {
        Raster r = read_raster(dir + "/" + kind + "_" + std::to_string(year) + "_" + name + ".img");
        if (r.width != width || r.height != height)
            fail(std::string(kind) + " is not the datamask's size");
        return r;
    };
    const std::array<double, 6> gt = product("TCC", FIRST_YEAR).transform;
    if (std::fabs(gt[1] - CELL_DEGREES) > 1e-12 || std::fabs(gt[5] + CELL_DEGREES) > 1e-12 ||
        gt[2] != 0 || gt[4] != 0)
        fail("the mosaic's cells are not 0.00025 degrees north up");
    const double west = gt[0], north = gt[3];
    for (int p = 0; p < 4; ++p) {
        // the datamask placed on the same grid (mosaic.py sets its corners)
        if (std::fabs(datamask.transform[static_cast<std::size_t>(p)] -
                      gt[static_cast<std::size_t>(p)]) > 1e-9)
            fail("the datamask lies elsewhere than the products");
    }
    std::vector<double> row_m2(static_cast<std::size_t>(height));
    for (int r = 0; r < height; ++r)
        row_m2[static_cast<std::size_t>(r)] =
            cell_m2(north - (r + 1) * CELL_DEGREES, north - r * CELL_DEGREES);
    for (Zone& z : zones) {
        z.column_share =
            shares(width, (z.west - west) / CELL_DEGREES, (z.east - west) / CELL_DEGREES);
        z.row_share =
            shares(height, (north - z.north) / CELL_DEGREES, (north - z.south) / CELL_DEGREES);
        z.columns = reach(z.column_share);
        z.rows = reach(z.row_share);
    }

    std::vector<uint8_t> forest_2000(pixels, 0), state(pixels);
    Labeller labeller(width, height, connectivity);
    std::ostringstream table, zone_table;
    table << "year,forest_ha,forest_loss_ha\n";
    std::vector<std::string> zone_rows(zones.size());
    char line[160];
    for (int year = FIRST_YEAR; year <= last; ++year) {
        {
            const Raster tcc = product("TCC", year), tch = product("TCH", year);
            for (std::size_t i = 0; i < pixels; ++i)
                state[i] = datamask.bytes[i] == 1 && tcc.bytes[i] >= def.cover &&
                                   tch.bytes[i] >= def.height
                               ? CANOPY
                               : NONE;
        }
        for (std::size_t i = 0; i < pixels; ++i) {
            if (state[i] != CANOPY) continue;
            double m2 = 0;
            labeller.fill(state, i, CANOPY, SEEN, [&](std::size_t p) {
                m2 += row_m2[p / static_cast<std::size_t>(width)];
            });
            const uint8_t kind = m2 >= def.hectares * 10000 ? FOREST : SMALL;
            labeller.fill(state, i, SEEN, kind, [](std::size_t) {});
        }
        const Raster loss = product("Loss", year);
        if (year == FIRST_YEAR)
            for (std::size_t i = 0; i < pixels; ++i) forest_2000[i] = state[i] == FOREST;
        // forest and loss on the forest of 2000, counted by row, each row
        // weighed by its cell's area
        long double forest_m2 = 0, loss_m2 = 0;
        for (int r = 0; r < height; ++r) {
            long long forest = 0, lost = 0;
            for (std::size_t i = static_cast<std::size_t>(r) * width, end = i + width; i < end;
                 ++i) {
                forest += state[i] == FOREST;
                lost += loss.bytes[i] != 0 && forest_2000[i] != 0;
            }
            forest_m2 += forest * static_cast<long double>(row_m2[static_cast<std::size_t>(r)]);
            loss_m2 += lost * static_cast<long double>(row_m2[static_cast<std::size_t>(r)]);
        }
        std::snprintf(line, sizeof line, "%d,%.9Lf,%.9Lf\n", year, forest_m2 / 10000,
                      loss_m2 / 10000);
        table << line;
        for (std::size_t k = 0; k < zones.size(); ++k) {
            const Zone& z = zones[k];
            long double zf = 0, zl = 0;
            for (int r = z.rows[0]; r <= z.rows[1]; ++r) {
                long double row_forest = 0, row_loss = 0;
                for (int c = z.columns[0]; c <= z.columns[1]; ++c) {
                    const double cs = z.column_share[static_cast<std::size_t>(c)];
                    const std::size_t i = static_cast<std::size_t>(r) * width + c;
                    if (state[i] == FOREST) row_forest += cs;
                    if (loss.bytes[i] != 0 && forest_2000[i] != 0) row_loss += cs;
                }
                const long double cell =
                    static_cast<long double>(z.row_share[static_cast<std::size_t>(r)]) *
                    row_m2[static_cast<std::size_t>(r)];
                zf += row_forest * cell;
                zl += row_loss * cell;
            }
            std::snprintf(line, sizeof line, ",%d,%.9Lf,%.9Lf\n", year, zf / 10000, zl / 10000);
            zone_rows[k] += csv_field(z.name) + line;
        }
        for (const Probe& p : probes) {
            if (p.year != year) continue;
            if (p.row < 0 || p.row >= height || p.column < 0 || p.column >= width)
                fail("a probe outside the mosaic", 2);
            const std::size_t seed = static_cast<std::size_t>(p.row) * width + p.column;
            if (state[seed] != FOREST && state[seed] != SMALL) {
                std::printf("probe %d %d %d 0 0 none\n", year, p.row, p.column);
                continue;
            }
            // the patch again, marked PROBED and given back its kind
            const uint8_t kind = state[seed];
            long long count = 0;
            double m2 = 0;
            labeller.fill(state, seed, kind, PROBED, [&](std::size_t q) {
                ++count;
                m2 += row_m2[q / static_cast<std::size_t>(width)];
            });
            labeller.fill(state, seed, PROBED, kind, [](std::size_t) {});
            std::printf("probe %d %d %d %lld %.6f %s\n", year, p.row, p.column, count, m2,
                        kind == FOREST ? "forest" : "small");
        }
    }
    write_text(out + "/" + name + "_forest.csv", table.str());
    if (!zones.empty()) {
        std::string text = "zone,year,forest_ha,forest_loss_ha\n";
        for (const std::string& rows : zone_rows) text += rows;
        write_text(out + "/" + name + "_zone_forest.csv", text);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "-h" || args[0] == "--help") {
        std::printf(
            "usage: forest_mosaic stamp DESIGN TILE ROW COLUMN INPUT_DIR DATAMASK_DIR LAST_YEAR\n"
            "       forest_mosaic label NAME DIR LAST_YEAR C:H:HA 4|8 OUT [--zone Z:W:S:E:N]... "
            "[--probe YEAR:ROW:COLUMN]...\n");
        return args.empty() ? 2 : 0;
    }
    GDALAllRegister();
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    try {
        if (args[0] == "stamp") return stamp(rest);
        if (args[0] == "label") return label(rest);
    } catch (const std::logic_error& e) {  // std::stoi's, on a number that is not one
        fail(std::string("not a number where one is needed (") + e.what() + ")", 2);
    }
    fail("unknown command " + args[0], 2);
}
