#pragma once

// A plug-in is compiled with hidden visibility: only what carries this mark is seen from outside it, the
// functions a host finds by name and the wire types that other components use.
#define NIMB_PLUGIN_EXPORT __attribute__((visibility("default")))
