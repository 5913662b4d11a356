"""The batch layer around process_tile: a tile list run with GNU parallel or
as Slurm job arrays, one record per tile, the report, the region and the
quality of a batch. Standard library only, so that it runs on any compute
node as it is."""
