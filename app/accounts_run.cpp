#include "app/accounts_run.hpp"

#include <algorithm>
#include <charconv>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <ostream>
#include <string_view>
#include <thread>

#include "accounts/cell_area.hpp"
#include "accounts/coverage.hpp"
#include "accounts/forest_edges.hpp"
#include "accounts/forest_patches.hpp"
#include "accounts/forest_tally.hpp"
#include "accounts/tile_part.hpp"
#include "app/tool_options.hpp"
#include "io/account_products.hpp"
#include "io/table_files.hpp"
#include "io/zone_layer.hpp"
#include "run/printable.hpp"
#include "run/workers.hpp"
#include "tile/tile.hpp"

namespace pt {

namespace {

constexpr const char* USAGE =
    "Usage: tile_accounts [options] [--] tile_id last_year products_dir datamask_dir accounts_dir\n"
    "  Sums the forest accounts of one tile from the products process_tile wrote\n"
    "  (products_dir/{TCC,TCH,Loss}_<year>_<tile_id>.img for 2000 to last_year) and\n"
    "  its datamask (datamask_dir/<tile_id>_datamask.tif): for each cover threshold\n"
    "  and year, the land (datamask 1), the tree cover at or above the threshold,\n"
    "  the loss where the cover of 2000 reached it (hectares, the exact WGS84 area\n"
    "  of each cell) and the mean canopy height of that cover. Writes\n"
    "  accounts_dir/<tile_id>_accounts.csv, created with accounts_dir when missing:\n"
    "    tile_id,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n"
    "  and with --zones accounts_dir/<tile_id>_zone_accounts.csv, the same for\n"
    "  each zone that reaches the tile, weighted by the exact share of each cell\n"
    "  inside it (without --zones an earlier one is removed):\n"
    "    tile_id,zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n"
    "Options (anywhere before --; -- ends them, for a tile id beginning with '-'):\n"
    "  --zones FILE        polygons read with GDAL/OGR (GeoPackage, Shapefile,\n"
    "                      GeoJSON, FlatGeobuf); features sharing a zone value\n"
    "                      are merged, an overlap counted once. A layer in\n"
    "                      another coordinate system is transformed (its edges\n"
    "                      densified first); one without a coordinate system is\n"
    "                      taken to be in WGS84 longitude and latitude.\n"
    "  --zone-field NAME   the field naming the zones (default: the feature id)\n"
    "  --zone-layer NAME   the layer (default: the file's only layer)\n"
    "  --thresholds LIST   cover thresholds in percent, e.g. 10,30 (default\n"
    "                      10,15,20,25,30,50,75)\n"
    "  --part BANDS        count only the pixels the tile owns where tiles of a\n"
    "                      grid overlap: ROWS:COLUMNS[,ROWS:COLUMNS...], each\n"
    "                      FIRST-LAST from 0, inclusive, bands in ascending rows\n"
    "                      (e.g. 0-4001:2-4001); rows in no band are not owned.\n"
    "                      Without it the whole tile is counted.\n"
    "  --forest C:H:HA     forest by definition as well: a canopy pixel is land\n"
    "                      with cover >= C percent (0-100) and height >= H (0-255,\n"
    "                      the height products' units) in its year; a patch is a\n"
    "                      largest set of canopy pixels joined through their\n"
    "                      neighbours, its area the sum of its cells' areas; its\n"
    "                      pixels are forest when that reaches HA hectares (a\n"
    "                      decimal >= 0). Patches end at the tile's edge (or its\n"
    "                      part's). Writes accounts_dir/<tile_id>_forest.csv:\n"
    "                        tile_id,year,forest_ha,forest_loss_ha\n"
    "                      forest_loss_ha: the year's loss where 2000 was forest;\n"
    "                      with --zones also <tile_id>_zone_forest.csv, a cell\n"
    "                      counting by its share in the zone, as above:\n"
    "                        tile_id,zone,year,forest_ha,forest_loss_ha\n"
    "                      Without --forest earlier forest tables are removed.\n"
    "  --connectivity N    with --forest: 8 (default) joins pixels sharing an edge\n"
    "                      or a corner, 4 an edge only\n"
    "  --forest-edges      with --forest: also writes accounts_dir/<tile_id>_forest_\n"
    "                      edges.txt, the patches too small inside the tile (or its\n"
    "                      part) that touch its edge, and the state of each pixel\n"
    "                      along that edge, for a batch to join patches across\n"
    "                      tiles (sum_accounts --forest). Without it an earlier one\n"
    "                      is removed.\n"
    "  -h, --help          this text\n"
    "A failure is one line on standard error, status 1; a wrong call status 2.\n";

// Memory for the zones' sums in one pass over the tile: a zone file of more
// zones than fit is summed in several passes, each reading the tile again.
constexpr std::size_t ZONE_TALLY_BUDGET = 96u << 20;

struct WrongCall {
    std::string line;  // empty: the usage alone
};

// Whole decimal digits only, for the last year: "2O20", "+2020" or " 2020"
// would otherwise be read as something else or partly.
std::optional<int> whole_year(std::string_view text) {
    int value = 0;
    if (text.empty() || text.size() > 4) return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text[0] == '-') {
        return std::nullopt;
    }
    return value;
}

// Reads the command line: the options and the five positionals. Throws
// WrongCall for an unknown option, an option without its value or given
// twice, or a wrong count of positionals.
AccountsArguments parse_accounts_arguments(int argc, const char* const* argv,
                                           std::string& last_year_text) {
    AccountsArguments args;
    std::vector<std::string> positional;
    bool options_ended = false;
    bool thresholds_given = false, field_given = false, layer_given = false;
    bool connectivity_given = false;
    std::string connectivity;
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (options_ended || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        // "--name VALUE" or "--name=VALUE".
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        auto take = [&](bool& given, std::string& value) {
            std::string error;
            const std::optional<std::string> found =
                option_value(argc, argv, k, "tile_accounts", given, error);
            if (!found) throw WrongCall{error};
            value = *found;
        };
        if (name == "--zones") {
            take(args.zones_given, args.zones);
        } else if (name == "--zone-field") {
            take(field_given, args.zone_field);
        } else if (name == "--zone-layer") {
            take(layer_given, args.zone_layer);
        } else if (name == "--thresholds") {
            take(thresholds_given, args.thresholds);
        } else if (name == "--part") {
            take(args.part_given, args.part);
        } else if (name == "--forest") {
            take(args.forest_given, args.forest);
        } else if (name == "--forest-edges") {
            // A flag: no value to take.
            if (equals != std::string::npos) {
                throw WrongCall{"tile_accounts: --forest-edges takes no value"};
            }
            if (args.forest_edges) throw WrongCall{"tile_accounts: --forest-edges given twice"};
            args.forest_edges = true;
        } else if (name == "--connectivity") {
            take(connectivity_given, connectivity);
        } else {
            throw WrongCall{"tile_accounts: unknown option " + printable(arg)};
        }
    }
    // An empty name would silently mean the feature id or the only layer:
    // a script's unset variable, most likely.
    if ((field_given && args.zone_field.empty()) || (layer_given && args.zone_layer.empty())) {
        throw WrongCall{std::string("tile_accounts: ") +
                        (field_given && args.zone_field.empty() ? "--zone-field" : "--zone-layer") +
                        " needs a name, not an empty one"};
    }
    if ((field_given || layer_given) && !args.zones_given) {
        throw WrongCall{std::string("tile_accounts: ") +
                        (field_given ? "--zone-field" : "--zone-layer") + " needs --zones"};
    }
    if (connectivity_given) {
        if (!args.forest_given) throw WrongCall{"tile_accounts: --connectivity needs --forest"};
        if (connectivity != "4" && connectivity != "8") {
            throw WrongCall{"tile_accounts: --connectivity is 4 or 8, not " +
                            printable(connectivity)};
        }
        args.connectivity = connectivity == "4" ? 4 : 8;
    }
    if (args.forest_edges && !args.forest_given) {
        throw WrongCall{"tile_accounts: --forest-edges needs --forest"};
    }
    if (positional.size() != 5) throw WrongCall{};
    args.tile_id = positional[0];
    last_year_text = positional[1];
    args.products_dir = positional[2];
    args.datamask_dir = positional[3];
    args.accounts_dir = positional[4];
    return args;
}

// What a tile id must be to name files in a directory and a table line:
// process_tile's own rules.
void check_tile_id(const std::string& tile_id) {
    if (tile_id.empty()) throw RunFailure("tile_id is empty");
    if (tile_id.find('/') != std::string::npos) {
        throw RunFailure("tile_id " + tile_id + " contains '/'");
    }
    if (tile_id == "." || tile_id == "..") {
        throw RunFailure("tile_id " + tile_id + " names no file of its own");
    }
    if (has_control_character(tile_id)) {
        throw RunFailure("tile_id " + tile_id + " contains a control character");
    }
}

void append_number(std::string& text, double value) {
    char number[64];
    const auto result =
        std::to_chars(number, number + sizeof number, value, std::chars_format::fixed, 6);
    text.append(number, result.ptr);
}

// A zone's rings with the rows each reaches, so that a strip takes only the
// rings that cross it.
struct ZoneRings {
    struct Ring {
        const PixelRing* points;
        bool hole;
        double top, bottom;
    };
    std::vector<Ring> rings;
    int first_row, end_row;

    explicit ZoneRings(const Zone& zone) : first_row(zone.first_row), end_row(zone.end_row) {
        auto add = [&](const std::vector<PixelRing>& list, bool hole) {
            for (const PixelRing& ring : list) {
                double top = 1e300, bottom = -1e300;
                for (const PixelPoint& point : ring) {
                    top = std::min(top, point.y);
                    bottom = std::max(bottom, point.y);
                }
                rings.push_back({&ring, hole, top, bottom});
            }
        };
        add(zone.shape.outer, false);
        add(zone.shape.holes, true);
    }

    // The rings that cross rows [first, first + rows), moved up by `first`
    // rows: the zone as the strip's own tile of `rows` rows sees it.
    ZoneShape in_strip(int first, int rows) const {
        ZoneShape shape;
        for (const Ring& ring : rings) {
            if (ring.bottom <= first || ring.top >= first + rows) continue;
            PixelRing moved = *ring.points;
            for (PixelPoint& point : moved) point.y -= first;
            (ring.hole ? shape.holes : shape.outer).push_back(std::move(moved));
        }
        return shape;
    }
};

// The rows of a strip as the tallies take them.
class StripRows {
  public:
    StripRows(const AccountProducts& products)
        : rows_(static_cast<std::size_t>(products.strip_rows())) {
        for (AccountRow& row : rows_) {
            row.tcc.resize(static_cast<std::size_t>(products.year_count()));
            row.tch.resize(row.tcc.size());
            row.loss.resize(row.tcc.size());
        }
        for (int r = 0; r < products.strip_rows(); ++r) {
            AccountRow& row = rows_[static_cast<std::size_t>(r)];
            row.datamask = products.datamask(r);
            for (int year = 0; year < products.year_count(); ++year) {
                const auto y = static_cast<std::size_t>(year);
                row.tcc[y] = products.tcc(year, r);
                row.tch[y] = products.tch(year, r);
                row.loss[y] = products.loss(year, r);
            }
        }
    }
    const AccountRow& operator[](int r) const { return rows_[static_cast<std::size_t>(r)]; }

  private:
    std::vector<AccountRow> rows_;
};

// Calls add(strip_row, begin, end, share) for each span of `zone` in the
// strip of `count` rows from `top`, cut to the columns the part owns: what
// the cells of the span weigh in the zone is `share` of their area.
template <typename Add>
void owned_spans(const ZoneRings& zone, int top, int count, int width, const TilePart& part,
                 Add add) {
    if (zone.end_row <= top || zone.first_row >= top + count) return;
    for (const CoverSpan& span : coverage_spans(zone.in_strip(top, count), width, count)) {
        const int row = top + span.row;
        const int begin = std::max(span.begin, part.begin(row));
        const int stop = std::min(span.end, part.end(row));
        if (begin < stop) add(span.row, begin, stop, span.share);
    }
}

// What the forest figures need of a strip's rows, in the owned part.
struct ForestMarking {
    ForestMasks& masks;
    uint8_t cover, height;
};

// The forest of the owned part (`whole`) and of each zone (`zone_forest`)
// from the masks alone, a zone's spans strip by strip as the tallies take
// them, the products read no more.
void forest_pass(const TileGrid& grid, int strip_rows, const std::vector<double>& row_area,
                 const TilePart& part, const std::vector<ZoneRings>& zones,
                 const ForestMasks& masks, ForestArea& whole,
                 std::vector<std::unique_ptr<ForestArea>>& zone_forest) {
    for (int row = 0; row < grid.height; ++row) {
        if (part.begin(row) < part.end(row)) {
            masks.add(whole, row, part.begin(row), part.end(row),
                      row_area[static_cast<std::size_t>(row)]);
        }
    }
    // Each zone on its own, so the zones are shared out among the CPUs.
    WorkQueue queue(static_cast<int>(zones.size()), 1);
    run_workers(std::min<int>(available_cpus(), static_cast<int>(zones.size())), [&](int) {
        int z, z_end;
        while (queue.next(z, z_end)) {
            const ZoneRings& zone = zones[static_cast<std::size_t>(z)];
            ForestArea& area = *zone_forest[static_cast<std::size_t>(z)];
            for (int top = 0; top < grid.height; top += strip_rows) {
                const int count = std::min(strip_rows, grid.height - top);
                owned_spans(zone, top, count, grid.width, part,
                            [&](int strip_row, int begin, int stop, double share) {
                                const int row = top + strip_row;
                                masks.add(area, row, begin, stop,
                                          share * row_area[static_cast<std::size_t>(row)]);
                            });
            }
        }
    });
}

// Sums the owned part of the tile (into `whole`, when given) and the zones
// [first, end) in one pass over the tile's strips. `owned[z]` gathers the
// cells' shares of zone z that fall in the part: a zone that reaches the
// tile only where a neighbour owns it has nothing to count here.
void tally_pass(AccountProducts& products, const std::vector<double>& row_area,
                const TilePart& part, Tally* whole, const std::vector<ZoneRings>& zones,
                std::vector<std::unique_ptr<Tally>>& tallies, std::vector<double>& owned,
                std::size_t first, std::size_t end, const ForestMarking* forest) {
    const TileGrid& grid = products.grid();
    const StripRows rows(products);
    const int cpus = available_cpus();
    for (int top = 0; top < grid.height; top += products.strip_rows()) {
        const int count = std::min(products.strip_rows(), grid.height - top);
        products.read_strip(top, count);
        // The forest's marks and the tallies read the strip and write apart,
        // so they go side by side where there is a second CPU.
        auto mark = [&] {
            for (int r = 0; r < count; ++r) {
                forest->masks.mark(rows[r], top + r, part.begin(top + r), part.end(top + r),
                                   forest->cover, forest->height);
            }
        };
        std::optional<std::jthread> marking;
        if (forest != nullptr && cpus > 1) {
            marking.emplace(mark);
        } else if (forest != nullptr) {
            mark();
        }
        if (whole != nullptr) {
            for (int r = 0; r < count; ++r) {
                const int row = top + r;
                if (part.begin(row) < part.end(row)) {
                    whole->add(rows[r], part.begin(row), part.end(row),
                               row_area[static_cast<std::size_t>(row)]);
                }
            }
        }
        for (std::size_t z = first; z < end; ++z) {
            Tally& tally = *tallies[z];
            owned_spans(zones[z], top, count, grid.width, part,
                        [&](int strip_row, int begin, int stop, double share) {
                            owned[z] += share * (stop - begin);
                            tally.add(rows[strip_row], begin, stop,
                                      share * row_area[static_cast<std::size_t>(top + strip_row)]);
                        });
        }
        // Joined before the next strip is read over the one it marks.
    }
}

}  // namespace

std::string accounts_table_name(const std::string& tile_id) {
    return tile_id + "_accounts.csv";
}

std::string zone_accounts_table_name(const std::string& tile_id) {
    return tile_id + "_zone_accounts.csv";
}

std::string forest_table_name(const std::string& tile_id) {
    return tile_id + "_forest.csv";
}

std::string zone_forest_table_name(const std::string& tile_id) {
    return tile_id + "_zone_forest.csv";
}

std::string forest_edges_name(const std::string& tile_id) {
    return tile_id + "_forest_edges.txt";
}

std::string csv_field(const std::string& field) {
    if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
    std::string quoted = "\"";
    for (char c : field) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

std::string account_lines(const std::string& prefix, const Tally& tally,
                          const Thresholds& thresholds, int year_count) {
    std::string text;
    for (std::size_t k = 0; k < thresholds.values.size(); ++k) {
        for (int year = 0; year < year_count; ++year) {
            const AccountFigures figures = tally.figures(year, static_cast<int>(k));
            text += prefix;
            text += std::to_string(thresholds.values[k]);
            text += ',';
            text += std::to_string(FIRST_OUTPUT_YEAR + year);
            for (double m2 : {figures.land_m2, figures.cover_m2, figures.loss_m2}) {
                text += ',';
                append_number(text, m2 / 10000.0);
            }
            text += ',';
            if (figures.cover_m2 != 0) append_number(text, figures.height_m3 / figures.cover_m2);
            text += '\n';
        }
    }
    return text;
}

// "year,forest_ha,forest_loss_ha" of each year, each line after `prefix`.
std::string forest_lines(const std::string& prefix, const ForestArea& sums) {
    std::string text;
    for (std::size_t year = 0; year < sums.forest_m2.size(); ++year) {
        text += prefix;
        text += std::to_string(FIRST_OUTPUT_YEAR + static_cast<int>(year));
        for (double m2 : {sums.forest_m2[year], sums.loss_m2[year]}) {
            text += ',';
            append_number(text, m2 / 10000.0);
        }
        text += '\n';
    }
    return text;
}

void run_tile_accounts(const AccountsArguments& args) {
    std::string threshold_error;
    const std::optional<Thresholds> thresholds = parse_thresholds(args.thresholds, threshold_error);
    if (!thresholds) throw RunFailure("--thresholds: " + threshold_error);
    std::optional<ForestDefinition> definition;
    if (args.forest_given) {
        std::string forest_error;
        definition = parse_forest_definition(args.forest, forest_error);
        if (!definition) throw RunFailure("--forest " + args.forest + ": " + forest_error);
    }
    check_tile_id(args.tile_id);
    if (args.last_year < MIN_LAST_YEAR || args.last_year > MAX_LAST_YEAR) {
        throw RunFailure("last_year " + std::to_string(args.last_year) + " is not a year from " +
                         std::to_string(MIN_LAST_YEAR) + " to " + std::to_string(MAX_LAST_YEAR));
    }
    if (args.accounts_dir.empty()) throw RunFailure("accounts_dir is empty");
    const std::string table = accounts_table_name(args.tile_id);
    const std::string zone_table = zone_accounts_table_name(args.tile_id);
    const std::string cannot_create = args.accounts_dir + "/" + table + " cannot be created";
    check_table_directory(args.accounts_dir, cannot_create);

    start_gdal_for_accounts();
    AccountProducts products({args.tile_id, args.last_year, args.products_dir, args.datamask_dir});
    const TileGrid& grid = products.grid();
    TilePart part = TilePart::whole(grid.width, grid.height);
    if (args.part_given) {
        std::string part_error;
        std::optional<TilePart> given =
            TilePart::parse(args.part, grid.width, grid.height, part_error);
        if (!given) throw RunFailure("--part: " + part_error);
        part = std::move(*given);
    }
    std::vector<Zone> zones;
    if (args.zones_given) zones = read_zones({args.zones, args.zone_layer, args.zone_field}, grid);

    const auto& gt = grid.geotransform;
    const std::vector<double> row_area = row_cell_areas_m2(gt[3], gt[1], -gt[5], grid.height);
    const int years = products.year_count();
    Tally whole(*thresholds, years);
    std::vector<ZoneRings> rings;
    rings.reserve(zones.size());
    for (const Zone& zone : zones) rings.emplace_back(zone);
    std::vector<std::unique_ptr<Tally>> tallies(zones.size());
    std::vector<double> owned(zones.size(), 0.0);
    // With --forest-edges: the pixels along the part's edge, where a patch
    // too small inside the part may go on into a neighbour's.
    std::vector<TilePixel> border;
    std::optional<BitMask> edge;
    if (args.forest_edges) {
        border = part_border_pixels(part);
        edge = edge_mask(border, grid.width, grid.height);
    }
    std::optional<ForestMasks> forest;
    std::optional<ForestMarking> marking;
    if (definition) {
        forest.emplace(grid.width, grid.height, years);
        marking.emplace(ForestMarking{*forest, static_cast<uint8_t>(definition->cover),
                                      static_cast<uint8_t>(definition->height)});
    }
    ForestArea whole_forest(years);
    std::vector<std::unique_ptr<ForestArea>> zone_forest(zones.size());
    // The zones' shares of undecided patches, kept past their pass for the
    // edges file: the zones with owned cells, in the zone table's order.
    std::vector<std::unique_ptr<ForestArea>> edge_zones;
    std::vector<std::string> edge_zone_names;
    std::string zone_forest_lines;
    // A tally holds a few sums and counts per threshold level and year, and
    // scratch of a row's width.
    const std::size_t tally_bytes = 2 * sizeof(double) * static_cast<std::size_t>(years) *
                                        (4 * static_cast<std::size_t>(thresholds->levels()) + 4) +
                                    static_cast<std::size_t>(grid.width);
    const std::size_t per_pass = std::max<std::size_t>(1, ZONE_TALLY_BUDGET / tally_bytes);
    std::string zone_lines;
    std::size_t first = 0;
    do {
        const std::size_t end = std::min(zones.size(), first + per_pass);
        for (std::size_t z = first; z < end; ++z) {
            tallies[z] = std::make_unique<Tally>(*thresholds, years);
        }
        // The first pass marks the forest masks too: they need the whole
        // tile before any patch is known.
        tally_pass(products, row_area, part, first == 0 ? &whole : nullptr, rings, tallies, owned,
                   first, end, first == 0 && marking ? &*marking : nullptr);
        for (std::size_t z = first; z < end; ++z) {
            if (owned[z] > 0) {
                const std::string prefix =
                    csv_field(args.tile_id) + "," + csv_field(zones[z].name) + ",";
                zone_lines += account_lines(prefix, *tallies[z], *thresholds, years);
            }
            tallies[z].reset();
        }
        first = end;
    } while (first < zones.size());

    if (forest) {
        forest->keep_forest(row_area, definition->min_area_m2(), args.connectivity,
                            edge ? &*edge : nullptr);
        for (auto& area : zone_forest) area = std::make_unique<ForestArea>(years);
        forest_pass(grid, products.strip_rows(), row_area, part, rings, *forest, whole_forest,
                    zone_forest);
        for (std::size_t z = 0; z < zones.size(); ++z) {
            if (!(owned[z] > 0)) continue;
            zone_forest_lines += forest_lines(
                csv_field(args.tile_id) + "," + csv_field(zones[z].name) + ",", *zone_forest[z]);
            if (args.forest_edges) {
                edge_zone_names.push_back(zones[z].name);
                edge_zones.push_back(std::move(zone_forest[z]));
            }
        }
    }

    std::vector<TableFile> tables;
    tables.push_back(
        {table, "tile_id,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n" +
                    account_lines(csv_field(args.tile_id) + ",", whole, *thresholds, years)});
    std::vector<std::string> stale;
    if (args.zones_given) {
        tables.push_back(
            {zone_table,
             "tile_id,zone,threshold,year,land_ha,cover_ha,loss_ha,height_mean\n" + zone_lines});
    } else {
        // A zone table of an earlier run would describe another request.
        stale.push_back(zone_table);
    }
    // Forest tables of an earlier run would describe another request too.
    const std::string forest_table = forest_table_name(args.tile_id);
    const std::string zone_forest_table = zone_forest_table_name(args.tile_id);
    if (forest) {
        tables.push_back(
            {forest_table, "tile_id,year,forest_ha,forest_loss_ha\n" +
                               forest_lines(csv_field(args.tile_id) + ",", whole_forest)});
    } else {
        stale.push_back(forest_table);
    }
    if (forest && args.zones_given) {
        tables.push_back({zone_forest_table,
                          "tile_id,zone,year,forest_ha,forest_loss_ha\n" + zone_forest_lines});
    } else {
        stale.push_back(zone_forest_table);
    }
    const std::string edges_file = forest_edges_name(args.tile_id);
    if (args.forest_edges) {
        std::vector<const ForestArea*> shares;
        for (const auto& zone : edge_zones) shares.push_back(zone.get());
        TileForestEdges edges = forest->edges(border, whole_forest, shares, edge_zone_names);
        edges.tile_id = args.tile_id;
        edges.definition = *definition;
        edges.connectivity = args.connectivity;
        edges.width = grid.width;
        edges.height = grid.height;
        edges.part = args.part_given ? args.part : "";
        tables.push_back({edges_file, forest_edges_text(edges)});
    } else {
        stale.push_back(edges_file);
    }
    put_tables(args.accounts_dir, tables, stale, cannot_create);
}

int tile_accounts_main(int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
    if (asks_for_help(argc, argv)) {
        out << USAGE << std::flush;
        return 0;
    }
    AccountsArguments args;
    std::string last_year_text;
    try {
        args = parse_accounts_arguments(argc, argv, last_year_text);
    } catch (const WrongCall& wrong) {
        if (!wrong.line.empty()) err << wrong.line << '\n';
        err << USAGE << std::flush;
        return 2;
    }
    try {
        const std::optional<int> last_year = whole_year(last_year_text);
        if (!last_year || *last_year < MIN_LAST_YEAR || *last_year > MAX_LAST_YEAR) {
            throw RunFailure("last_year " + last_year_text + " is not a year from " +
                             std::to_string(MIN_LAST_YEAR) + " to " +
                             std::to_string(MAX_LAST_YEAR));
        }
        args.last_year = *last_year;
        run_tile_accounts(args);
        return 0;
    } catch (const RunFailure& failure) {
        err << "tile_accounts: " << printable(failure.what()) << std::endl;
    } catch (const std::bad_alloc&) {
        err << "tile_accounts: cannot obtain memory" << std::endl;
    } catch (const std::exception& error) {
        err << "tile_accounts: failed: " << printable(error.what()) << std::endl;
    }
    return 1;
}

}  // namespace pt
