#pragma once
// The writing side of the job-info metadata service: a store of named
// containers of files for one job. Declared here for the callers that pass
// it along; the library's uploads of cumulative bitmaps and catalogues use it.
#include <memory>

class CJobInfoMetadataStore;
using CJobInfoMetadataStorePtr = std::shared_ptr<CJobInfoMetadataStore>;
