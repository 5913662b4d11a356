// The zones of the accounts, read with OGR from a vector file: areas such
// as districts or reserves, each named by a field's value, whose share of
// every cell of the tile the accounts weigh. The features that share a value
// make one zone (unioned, so an overlap counts once); each zone is brought
// into the tile's pixel coordinates, clipped to the tile.
#pragma once

#include <string>
#include <vector>

#include "accounts/coverage.hpp"
#include "io/account_products.hpp"

namespace pt {

struct ZoneRequest {
    std::string path;   // the vector file (GeoPackage, Shapefile, GeoJSON, FlatGeobuf)
    std::string layer;  // empty: the file's only layer
    std::string field;  // empty: the feature id, as decimal text
};

struct Zone {
    std::string name;  // the field's value, as the file holds it (UTF-8)
    ZoneShape shape;   // in pixel coordinates, inside the tile
    // The rows the zone reaches: [first_row, end_row).
    int first_row = 0;
    int end_row = 0;
};

// The formats a zone file may have: single-file (or, for a Shapefile, the
// files beside it of the same name) formats that refer to no other file or
// service, named as GDAL names their drivers.
inline constexpr const char* ZONE_DRIVERS[] = {"GPKG",       "ESRI Shapefile", "GeoJSON",
                                               "GeoJSONSeq", "FlatGeobuf",     nullptr};

// The zones of `request` that reach the tile of `grid` (whose coordinates
// are WGS84 longitude and latitude), in the order of the smallest id of
// their features whose extent reaches the tile. Only those features are
// read (through the layer's spatial index where it has one), so the cost
// grows with the zones near the tile, not with the file. Features must be
// polygons or multipolygons (curved ones are cut into chords that stray at
// most a hundredth of a pixel from their arcs); empty ones are skipped. Each
// geometry is made valid, the zone's features unioned, and, when the layer
// has another coordinate system, its edges densified to about a cell's
// length before they are transformed, so that a straight edge there follows
// its true course here; a ring around a pole keeps the pole's cap. A layer
// without a coordinate system is taken to be in WGS84 longitude and
// latitude. Longitudes of either convention (-180 to 180, 0 to 360) meet
// tiles of either, and a zone across the antimeridian counts on both sides
// of it. A zone with no area inside the tile is left out.
//
// Throws RunFailure with one line: the file cannot be opened, holds several
// layers and none is named (naming them), has no such layer or field
// (naming the fields), a feature near the tile has no value in the field, a
// value is not UTF-8, a geometry is not polygonal ("... holds LineString,
// not polygons"), has a coordinate that is not a finite number, a layer in
// degrees (or without a coordinate system) has coordinates that cannot be
// degrees, or a zone cannot be transformed.
std::vector<Zone> read_zones(const ZoneRequest& request, const TileGrid& grid);

}  // namespace pt
