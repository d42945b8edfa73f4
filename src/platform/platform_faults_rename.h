// Forced into the faulty test build's copy of the POSIX platform layer: its
// definitions take the names below, so platform_faults.cc can define the
// public names as wrappers that count every call and fail on request.
// Never part of the kavrelt binary.
#pragma once

#define open_root_directory real_open_root_directory
#define open_subdirectory real_open_subdirectory
#define close_directory real_close_directory
#define drop_listing real_drop_listing
#define find_first_file real_find_first_file
#define find_next_file real_find_next_file
#define find_close real_find_close
#define last_error real_last_error
#define platform_open real_platform_open
#define platform_read real_platform_read
#define platform_write real_platform_write
#define platform_write_gather real_platform_write_gather
#define platform_close real_platform_close
#define platform_fstat real_platform_fstat
#define platform_give_owner real_platform_give_owner
#define platform_flush_output real_platform_flush_output
#define platform_sync real_platform_sync
#define platform_file_system real_platform_file_system
#define platform_durable_when_flushed real_platform_durable_when_flushed
#define platform_descriptor_limit real_platform_descriptor_limit
#define platform_rename real_platform_rename
#define platform_unlink real_platform_unlink
#define platform_unlink_same real_platform_unlink_same
#define platform_utime real_platform_utime
#define platform_cpu_count real_platform_cpu_count
