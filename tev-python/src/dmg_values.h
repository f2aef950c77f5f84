#pragma once

#include <Python.h>

#include "tev/udif/extract.h"

namespace tev::python {

int add_partition_info(PyObject* module);
int add_compression_info(PyObject* module);
int add_dmg_stats(PyObject* module);
int add_chunk_info(PyObject* module);

PyObject* make_partition_info(const udif::PartitionSummary& value);
// The image's partitions as PartitionInfo values, their file systems told.
PyObject* partition_infos(const udif::DmgImage& image);
PyObject* make_compression_info(const udif::CompressionCounts& value);
PyObject* make_dmg_stats(const udif::ImageStats& value);

}  // namespace tev::python
