#include "io/zone_layer.hpp"

#include <dirent.h>
#include <gdal_priv.h>
#include <ogr_geometry.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <optional>

#include "io/gdal_errors.hpp"
#include "tile/tile.hpp"

namespace pt {

namespace {

struct GeometryDeleter {
    void operator()(OGRGeometry* geometry) const { OGRGeometryFactory::destroyGeometry(geometry); }
};
using GeometryPtr = std::unique_ptr<OGRGeometry, GeometryDeleter>;

// More points than this in one zone's densified edges is refused: a zone
// file cannot make the run hold gigabytes of edges.
constexpr double MAX_DENSIFIED_POINTS = 50e6;

bool is_regular(const std::string& path) {
    struct stat named {};
    return ::stat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode);
}

// A FIFO or a device under a name GDAL opens beside the file (a Shapefile's
// .dbf, .shx, .prj, .cpg; a GeoPackage's -wal or -journal; any .aux.xml)
// would block a read or deliver without end: every entry beside the file
// whose name begins with the file's stem and a dot, or with its name and a
// dash, must be a regular file or a directory.
void check_zone_files(const std::string& path, const std::string& cannot_open) {
    if (!is_regular(path)) throw RunFailure(path + " not found");
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    const std::string stem = (dot == std::string::npos ? name : name.substr(0, dot)) + ".";
    const std::string dashed = name + "-";
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) throw RunFailure(cannot_open);
    std::string refused;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string entry_name = entry->d_name;
        if (entry_name.rfind(stem, 0) != 0 && entry_name.rfind(dashed, 0) != 0) continue;
        struct stat named {};
        const std::string entry_path = (slash == std::string::npos ? "" : dir) + entry_name;
        if (::stat(entry_path.c_str(), &named) != 0) continue;  // a dangling link is not opened
        if (!S_ISREG(named.st_mode) && !S_ISDIR(named.st_mode)) {
            refused = entry_path;
            break;
        }
    }
    ::closedir(listing);
    if (!refused.empty()) {
        throw RunFailure(refused + " beside the zone file is not a regular file");
    }
}

// The path as GDAL must see it to open the file it names: GDAL reads a name
// beginning with /vsi as one of its virtual file systems, and one such as
// "PG:..." as a connection; "./" or "/." in front makes it a plain path.
std::string plain_path(const std::string& path) {
    if (path.rfind("/", 0) != 0) return "./" + path;
    if (path.rfind("/vsi", 0) == 0) return "/." + path;
    return path;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) (text += text.empty() ? "" : ", ") += name;
    return text;
}

bool is_utf8(const std::string& text) {
    std::size_t k = 0;
    const std::size_t n = text.size();
    while (k < n) {
        const auto byte = static_cast<unsigned char>(text[k]);
        int follow = 0;
        unsigned min = 0;
        unsigned code = 0;
        if (byte < 0x80) {
            ++k;
            continue;
        } else if ((byte & 0xE0) == 0xC0) {
            follow = 1, min = 0x80, code = byte & 0x1F;
        } else if ((byte & 0xF0) == 0xE0) {
            follow = 2, min = 0x800, code = byte & 0x0F;
        } else if ((byte & 0xF8) == 0xF0) {
            follow = 3, min = 0x10000, code = byte & 0x07;
        } else {
            return false;
        }
        if (k + static_cast<std::size_t>(follow) >= n) return false;
        for (int f = 1; f <= follow; ++f) {
            const auto next = static_cast<unsigned char>(text[k + static_cast<std::size_t>(f)]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        k += static_cast<std::size_t>(follow) + 1;
    }
    return true;
}

// "LineString", "MultiPoint", ...: the type's name as WKT writes it.
std::string type_name(OGRwkbGeometryType type) {
    std::string name = OGRGeometryTypeToName(wkbFlatten(type));
    name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
    return name;
}

bool is_polygonal_type(OGRwkbGeometryType type) {
    const OGRwkbGeometryType flat = wkbFlatten(type);
    return flat == wkbPolygon || flat == wkbMultiPolygon || flat == wkbCurvePolygon ||
           flat == wkbMultiSurface || flat == wkbPolyhedralSurface || flat == wkbTIN ||
           flat == wkbTriangle;
}

// The polygons of `geometry` into `out` (a collection's non-polygonal parts,
// as MakeValid leaves of a collapsed part, are dropped).
void add_polygons(const OGRGeometry& geometry, OGRMultiPolygon& out) {
    const OGRwkbGeometryType flat = wkbFlatten(geometry.getGeometryType());
    if (flat == wkbPolygon) {
        out.addGeometry(&geometry);
    } else if (flat == wkbMultiPolygon || flat == wkbGeometryCollection) {
        for (const OGRGeometry* part : *geometry.toGeometryCollection()) add_polygons(*part, out);
    }
}

// A feature's geometry as valid polygons without curves, Z or M.
GeometryPtr valid_polygons(const OGRGeometry& geometry) {
    GeometryPtr linear(geometry.hasCurveGeometry() ? geometry.getLinearGeometry()
                                                   : geometry.clone());
    if (!linear) return nullptr;
    const OGRwkbGeometryType flat = wkbFlatten(linear->getGeometryType());
    if (flat == wkbPolyhedralSurface || flat == wkbTIN || flat == wkbTriangle) {
        linear.reset(OGRGeometryFactory::forceToMultiPolygon(linear.release()));
        if (!linear) return nullptr;
    }
    linear->flattenTo2D();
    GeometryPtr valid(linear->IsValid() ? linear.release() : linear->MakeValid());
    if (!valid) return nullptr;
    auto polygons = std::make_unique<OGRMultiPolygon>();
    add_polygons(*valid, *polygons);
    return GeometryPtr(polygons.release());
}

GeometryPtr rectangle(double x0, double y0, double x1, double y1) {
    OGRLinearRing ring;
    ring.addPoint(x0, y0);
    ring.addPoint(x1, y0);
    ring.addPoint(x1, y1);
    ring.addPoint(x0, y1);
    ring.addPoint(x0, y0);
    auto polygon = std::make_unique<OGRPolygon>();
    polygon->addRing(&ring);
    return GeometryPtr(polygon.release());
}

double area_of(const OGRGeometry& geometry) {
    return OGR_G_Area(OGRGeometry::ToHandle(const_cast<OGRGeometry*>(&geometry)));
}

// Sum of the lengths of every ring of the polygons.
double boundary_length(const OGRMultiPolygon& polygons) {
    double length = 0;
    for (const OGRPolygon* polygon : polygons) {
        for (const OGRLinearRing* ring : *polygon) length += ring->get_Length();
    }
    return length;
}

// Where the tile lies in the layer's coordinate system, and how long a cell
// is there: to clip a zone to the tile's neighbourhood before its edges are
// densified, and to densify them.
struct SourceFrame {
    bool known = false;
    double min_x = 0, min_y = 0, max_x = 0, max_y = 0;
    double cell_length = 0;
};

SourceFrame frame_in_source(OGRCoordinateTransformation& to_source, const TileGrid& grid) {
    const auto& gt = grid.geotransform;
    SourceFrame frame;
    // The tile's outline, 16 points a side, and the cells at its centre.
    std::vector<double> xs, ys;
    constexpr int STEPS = 16;
    for (int k = 0; k <= STEPS; ++k) {
        const double fx = grid.width * static_cast<double>(k) / STEPS;
        const double fy = grid.height * static_cast<double>(k) / STEPS;
        for (const auto& [px, py] : {std::pair{fx, 0.0}, std::pair{fx, double(grid.height)},
                                     std::pair{0.0, fy}, std::pair{double(grid.width), fy}}) {
            xs.push_back(gt[0] + px * gt[1]);
            ys.push_back(gt[3] + py * gt[5]);
        }
    }
    const double cx = grid.width / 2.0, cy = grid.height / 2.0;
    for (const auto& [px, py] : {std::pair{cx, cy}, std::pair{cx + 1, cy}, std::pair{cx, cy + 1}}) {
        xs.push_back(gt[0] + px * gt[1]);
        ys.push_back(gt[3] + py * gt[5]);
    }
    std::vector<int> ok(xs.size());
    if (!to_source.Transform(static_cast<int>(xs.size()), xs.data(), ys.data(), nullptr,
                             ok.data())) {
        return frame;
    }
    if (std::find(ok.begin(), ok.end(), 0) != ok.end()) return frame;
    const std::size_t outline = xs.size() - 3;
    frame.min_x = *std::min_element(xs.begin(), xs.begin() + static_cast<long>(outline));
    frame.max_x = *std::max_element(xs.begin(), xs.begin() + static_cast<long>(outline));
    frame.min_y = *std::min_element(ys.begin(), ys.begin() + static_cast<long>(outline));
    frame.max_y = *std::max_element(ys.begin(), ys.begin() + static_cast<long>(outline));
    const double across = std::hypot(xs[outline + 1] - xs[outline], ys[outline + 1] - ys[outline]);
    const double down = std::hypot(xs[outline + 2] - xs[outline], ys[outline + 2] - ys[outline]);
    frame.cell_length = std::min(across, down);
    // A margin of a quarter of the tile: the tile's edges may bow outwards
    // between the points of its outline.
    const double margin_x = (frame.max_x - frame.min_x) / 4,
                 margin_y = (frame.max_y - frame.min_y) / 4;
    frame.min_x -= margin_x, frame.max_x += margin_x;
    frame.min_y -= margin_y, frame.max_y += margin_y;
    frame.known = std::isfinite(frame.min_x) && std::isfinite(frame.max_x) &&
                  std::isfinite(frame.min_y) && std::isfinite(frame.max_y) &&
                  std::isfinite(frame.cell_length) && frame.cell_length > 0;
    return frame;
}

// One zone as it is gathered: its features' polygons, in the layer's
// coordinates.
struct GatheredZone {
    std::string name;
    OGRMultiPolygon polygons;
};

// The zone's union in pixel coordinates, clipped to the tile; nothing when
// nothing of it lies inside.
std::optional<Zone> zone_in_tile(GatheredZone& gathered, OGRCoordinateTransformation* to_tile,
                                 const SourceFrame& frame, const TileGrid& grid,
                                 const std::string& path) {
    const std::string cannot = "zone " + gathered.name + " of " + path;
    if (gathered.polygons.IsEmpty()) return std::nullopt;
    GeometryPtr merged(gathered.polygons.UnionCascaded());
    if (!merged) throw RunFailure(cannot + " cannot be merged from its features");
    if (to_tile != nullptr) {
        if (!frame.known) throw RunFailure(cannot + " cannot be brought into the tile's CRS");
        const GeometryPtr near_tile = rectangle(frame.min_x, frame.min_y, frame.max_x, frame.max_y);
        GeometryPtr clipped(merged->Intersection(near_tile.get()));
        if (!clipped) throw RunFailure(cannot + " cannot be clipped to the tile");
        auto polygons = std::make_unique<OGRMultiPolygon>();
        add_polygons(*clipped, *polygons);
        if (polygons->IsEmpty()) return std::nullopt;
        if (boundary_length(*polygons) / frame.cell_length > MAX_DENSIFIED_POINTS) {
            throw RunFailure(cannot + " has too long edges near the tile to densify");
        }
        polygons->segmentize(frame.cell_length);
        if (polygons->transform(to_tile) != OGRERR_NONE) {
            throw RunFailure(cannot + " cannot be brought into the tile's CRS");
        }
        merged.reset(polygons.release());
    }
    // Longitude and latitude to column and row.
    const auto& gt = grid.geotransform;
    auto in_pixels = std::make_unique<OGRMultiPolygon>();
    add_polygons(*merged, *in_pixels);
    for (OGRPolygon* polygon : *in_pixels) {
        for (OGRLinearRing* ring : *polygon) {
            for (int k = 0; k < ring->getNumPoints(); ++k) {
                ring->setPoint(k, (ring->getX(k) - gt[0]) / gt[1], (ring->getY(k) - gt[3]) / gt[5]);
            }
        }
    }
    GeometryPtr valid(in_pixels->IsValid() ? in_pixels.release() : in_pixels->MakeValid());
    if (!valid) throw RunFailure(cannot + " cannot be made valid in the tile's CRS");
    const GeometryPtr tile = rectangle(0, 0, grid.width, grid.height);
    GeometryPtr inside(valid->Intersection(tile.get()));
    if (!inside) throw RunFailure(cannot + " cannot be clipped to the tile");
    OGRMultiPolygon parts;
    add_polygons(*inside, parts);
    if (parts.IsEmpty() || !(area_of(parts) > 0)) return std::nullopt;

    Zone zone;
    zone.name = gathered.name;
    double top = grid.height, bottom = 0;
    for (const OGRPolygon* polygon : parts) {
        bool outer = true;
        for (const OGRLinearRing* ring : *polygon) {
            PixelRing points;
            points.reserve(static_cast<std::size_t>(ring->getNumPoints()));
            for (int k = 0; k < ring->getNumPoints(); ++k) {
                points.push_back({ring->getX(k), ring->getY(k)});
                top = std::min(top, ring->getY(k));
                bottom = std::max(bottom, ring->getY(k));
            }
            (outer ? zone.shape.outer : zone.shape.holes).push_back(std::move(points));
            outer = false;
        }
    }
    zone.first_row = std::clamp(static_cast<int>(std::floor(top)), 0, grid.height);
    zone.end_row = std::clamp(static_cast<int>(std::ceil(bottom)), zone.first_row, grid.height);
    return zone;
}

}  // namespace

std::vector<Zone> read_zones(const ZoneRequest& request, const TileGrid& grid) {
    const std::string& path = request.path;
    const std::string cannot_open = path +
                                    " cannot be opened as a vector file (GeoPackage, Shapefile, "
                                    "GeoJSON, FlatGeobuf)";
    check_zone_files(path, cannot_open);
    // A GeoPackage is an SQLite database: an editor that has not yet
    // written its edits into the file keeps them in "<file>-wal", and
    // SQLite, even reading, would fold them into the file and remove it,
    // changing the user's zones behind their back (the batch would then see
    // a zones file changed under its tiles). So such a file is refused, and
    // the rest are opened immutable: read, never locked or written.
    struct stat wal {};
    if (::stat((path + "-wal").c_str(), &wal) == 0 && wal.st_size > 0) {
        throw RunFailure(path + " has edits not yet written into it (" + path +
                         "-wal): close the program editing it first");
    }
    GdalErrorWatch quiet(false);
    const char* const read_only[] = {"IMMUTABLE=YES", nullptr};
    DatasetPtr source(GDALDataset::FromHandle(GDALOpenEx(plain_path(path).c_str(),
                                                         GDAL_OF_VECTOR | GDAL_OF_READONLY,
                                                         ZONE_DRIVERS, read_only, nullptr)));
    if (!source) throw RunFailure(cannot_open);

    std::vector<std::string> layer_names;
    for (OGRLayer* layer : source->GetLayers()) layer_names.push_back(layer->GetName());
    OGRLayer* layer = nullptr;
    if (!request.layer.empty()) {
        for (OGRLayer* candidate : source->GetLayers()) {
            if (request.layer == candidate->GetName()) layer = candidate;
        }
        if (layer == nullptr) {
            throw RunFailure(
                path + " has no layer " + request.layer +
                (layer_names.empty() ? ": it has none" : " (layers: " + joined(layer_names) + ")"));
        }
    } else if (layer_names.empty()) {
        throw RunFailure(path + " holds no layer");
    } else if (layer_names.size() > 1) {
        throw RunFailure(path + " holds " + std::to_string(layer_names.size()) + " layers (" +
                         joined(layer_names) + "): name one with --zone-layer");
    } else {
        layer = source->GetLayer(0);
    }
    const std::string layer_line = path + " layer " + layer->GetName();

    OGRFeatureDefn* definition = layer->GetLayerDefn();
    int field = -1;
    if (!request.field.empty()) {
        std::vector<std::string> fields;
        for (int k = 0; k < definition->GetFieldCount(); ++k) {
            fields.push_back(definition->GetFieldDefn(k)->GetNameRef());
            if (fields.back() == request.field) field = k;
        }
        if (field < 0) {
            throw RunFailure(
                layer_line + " has no field " + request.field +
                (fields.empty() ? ": it has none" : " (fields: " + joined(fields) + ")"));
        }
    }
    const OGRwkbGeometryType layer_type = layer->GetGeomType();
    if (layer_type == wkbNone) throw RunFailure(layer_line + " holds no geometries");
    if (wkbFlatten(layer_type) != wkbUnknown && !is_polygonal_type(layer_type)) {
        throw RunFailure(layer_line + " holds " + type_name(layer_type) + ", not polygons");
    }

    // The layer's coordinates into the tile's: none when they are the
    // tile's, or when the layer names no coordinate system (it is then
    // taken to be in the tile's).
    OGRSpatialReference tile_crs;
    tile_crs.SetWellKnownGeogCS("WGS84");
    tile_crs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    std::unique_ptr<OGRCoordinateTransformation> to_tile, to_source;
    SourceFrame frame;
    const OGRSpatialReference* layer_crs = layer->GetSpatialRef();
    if (layer_crs != nullptr) {
        OGRSpatialReference source_crs(*layer_crs);
        source_crs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        const char* criteria[] = {"IGNORE_DATA_AXIS_TO_SRS_AXIS_MAPPING=YES", nullptr};
        if (!source_crs.IsSame(&tile_crs, criteria)) {
            to_tile.reset(OGRCreateCoordinateTransformation(&source_crs, &tile_crs));
            to_source.reset(OGRCreateCoordinateTransformation(&tile_crs, &source_crs));
            if (!to_tile || !to_source) {
                throw RunFailure(layer_line +
                                 " is in a coordinate system that cannot be "
                                 "brought into WGS84 longitude and latitude");
            }
            frame = frame_in_source(*to_source, grid);
        }
    }
    // Features far from the tile are not made valid or merged, but still
    // give their zone its place in the order.
    OGREnvelope near;
    if (to_tile) {
        near = {};
        near.MinX = frame.min_x, near.MaxX = frame.max_x;
        near.MinY = frame.min_y, near.MaxY = frame.max_y;
    } else {
        const auto& gt = grid.geotransform;
        near.MinX = gt[0], near.MaxX = gt[0] + gt[1] * grid.width;
        near.MinY = gt[3] + gt[5] * grid.height, near.MaxY = gt[3];
    }
    const bool filter_near = !to_tile || frame.known;

    std::vector<std::unique_ptr<GatheredZone>> gathered;
    std::map<std::string, std::size_t> index_of;
    layer->ResetReading();
    for (const auto& feature : *layer) {
        const std::string fid = std::to_string(feature->GetFID());
        std::string name;
        if (field < 0) {
            name = fid;
        } else {
            if (!feature->IsFieldSetAndNotNull(field)) {
                throw RunFailure("feature " + fid + " of " + layer_line + " has no value in " +
                                 request.field);
            }
            name = feature->GetFieldAsString(field);
            if (!is_utf8(name)) {
                throw RunFailure("feature " + fid + " of " + layer_line + " has a value in " +
                                 request.field + " that is not UTF-8 text");
            }
        }
        auto [at, fresh] = index_of.try_emplace(name, gathered.size());
        if (fresh) {
            gathered.push_back(std::make_unique<GatheredZone>());
            gathered.back()->name = name;
        }
        const OGRGeometry* geometry = feature->GetGeometryRef();
        if (geometry == nullptr || geometry->IsEmpty()) continue;
        if (!is_polygonal_type(geometry->getGeometryType())) {
            throw RunFailure("feature " + fid + " of " + layer_line + " holds " +
                             type_name(geometry->getGeometryType()) + ", not polygons");
        }
        OGREnvelope envelope;
        geometry->getEnvelope(&envelope);
        if (filter_near && !envelope.Intersects(near)) continue;
        // GEOS's complaints about a damaged geometry are not failures to
        // read the file: the nested watch keeps them from the outer one.
        GdalErrorWatch geometry_messages(false);
        const GeometryPtr polygons = valid_polygons(*geometry);
        if (!polygons) {
            throw RunFailure("feature " + fid + " of " + layer_line + " cannot be made valid");
        }
        for (const OGRGeometry* polygon : *polygons->toMultiPolygon()) {
            gathered[at->second]->polygons.addGeometry(polygon);
        }
    }
    if (quiet.failed()) throw RunFailure(layer_line + " cannot be read");

    std::vector<Zone> zones;
    for (auto& zone : gathered) {
        std::optional<Zone> inside = zone_in_tile(*zone, to_tile.get(), frame, grid, path);
        if (inside) zones.push_back(std::move(*inside));
        zone.reset();  // its polygons are no longer needed
    }
    return zones;
}

}  // namespace pt
