// Where products stay until they are complete. A run writes its products
// into a directory of its own inside output_dir, made as mkdtemp makes one (a
// fresh, unpredictable name, mode 0700) but relative to the open output
// directory: no other user can prepare a name there in advance, so nothing
// is ever written through a planted link, and renaming output_dir's path
// meanwhile cannot lead a write elsewhere. A product
// leaves it for its final name only once written, closed and flushed.
#pragma once

#include <optional>
#include <string>

#include "io/safe_directory.hpp"

namespace pt {

// The mkdtemp template of a run's private directory, relative to output_dir:
// ".tmp-<pid>-<tile_id>.XXXXXX".
std::string private_directory_template(const std::string& tile_id, long pid);

// Whether `name` is a private directory name of tile `tile_id` as
// private_directory_template makes it, the X's replaced.
bool is_private_directory_name(const std::string& name, const std::string& tile_id);

// The pid in `file_name` when it is a temporary product of tile `tile_id` in
// the form older versions used, ".tmp-<pid>-<TCC|TCH|Loss>_<year>_<tile_id>.img";
// nothing otherwise.
std::optional<long> temporary_product_pid(const std::string& file_name,
                                          const std::string& tile_id);

// Removes what runs of the tile that no longer write have left in the open
// output directory: every private directory of the tile, with its content
// (the caller holds the tile's lock, so no other live run of the tile has
// one), and the older versions' temporary products whose process no longer
// exists (those versions take no lock). Other tiles' leftovers, products
// and anything that is not what such a name should be stay.
void remove_stale_temporaries(int output_dir_fd, const std::string& tile_id);

// A run's private directory; removed with anything left in it when the
// object goes out of scope.
class PrivateDirectory {
public:
    // Creates it in the open output directory; throws
    // RunFailure(failure_line) when it cannot be made.
    PrivateDirectory(int output_dir_fd, const std::string& tile_id,
                     const std::string& failure_line);
    ~PrivateDirectory();
    PrivateDirectory(const PrivateDirectory&) = delete;
    PrivateDirectory& operator=(const PrivateDirectory&) = delete;

    // A path to it for GDAL, which creates files by name:
    // "/proc/self/fd/<n>", which leads into the very directory this run
    // made, whatever output_dir's path leads to by now.
    const std::string& gdal_path() const { return gdal_path_; }
    int fd() const { return fd_.get(); }

private:
    int output_dir_fd_;
    std::string name_;
    std::string gdal_path_;
    UniqueFd fd_;
};

}  // namespace pt
