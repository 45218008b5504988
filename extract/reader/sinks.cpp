#include "extract/reader/sinks.h"

#include "common/atomicsave.h"
#include "extract/reader/catalogue.h"

namespace velto {

void MessageSink::ShowSaveFailure(const std::string& file, const RuntimeError& error) {
    ShowMessage(SaveFailureText(error, file), MessageIcon::Critical, kExtractTitle);
}

}  // namespace velto
