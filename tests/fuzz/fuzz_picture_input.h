// One picture reader run over arbitrary bytes by converting them: the
// result is an APF file or an error, and a failed conversion leaves nothing.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>

#include "image/apf_file.h"
#include "image/fax_converter.h"
#include "platform/error_codes.h"
#include "tests/fuzz/image_fuzz_support.h"

namespace tv::fuzz {

inline void ConvertPicture(TFaxInputDocumentType kind, const char* name, const std::uint8_t* data,
                           std::size_t size) {
  const std::string input = WriteInput(name, data, size);
  const std::string output = ScratchFolder() + "out.apf";
  for (bool fine : {false, true}) {
    auto converter = MakeFileConverter(kind);
    converter->SetOptions(fine ? coCenterImage : coDoubleWidth | coHalfHeight | coCenterImage);
    converter->SetFine(fine);
    const int rc = converter->Convert(input, output);
    if (rc == ecOK) {
      if (!ApfIsFaxFile(output)) std::abort();
      std::filesystem::remove(output);
    } else if (std::filesystem::exists(output) || rc > 0) {
      std::abort();
    }
  }
}

}  // namespace tv::fuzz
