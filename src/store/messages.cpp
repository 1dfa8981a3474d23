#include "store/messages.h"

#include "app/run.h"
#include "store/formats.h"

namespace store {

std::string SuccessText(const app::ExportTargetRecord& target) {
    return "The requested data stored successfully.\r\n\r\nFile Name = " +
           DestinationDisplayName(target);
}

std::string FailureText(const std::string& description, int number) {
    return description + "(" + std::to_string(number) + ")";
}

void EndRunWith(const std::string& text) {
    app::NotifyUser(text, true);
    app::FinishRun(); // NotifyUser has already ended the run
}

} // namespace store
