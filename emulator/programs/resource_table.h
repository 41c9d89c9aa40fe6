// The resources embedded into a host build of the tool, generated from the
// resource script in resources/ (see cmake/resources.cmake).
#ifndef CE_RESOURCE_TABLE_H
#define CE_RESOURCE_TABLE_H

#include <windows.h>

struct CeResource {
    WORD id;
    const char16_t* type;  // nullptr ends the table
    const unsigned char* begin;
    const unsigned char* end;
};

extern const CeResource ce_resource_table[];

// The table the resource calls look in from now on, in place of the one linked
// in: a runner's, made from the resources of the program it runs.
void ce_use_resources(const CeResource* table);
// The host file of the program that runs, for GetModuleFileNameW: a
// runner's guest; without it, the executable itself.
void ce_use_module_file(const char* host_path);

#endif
