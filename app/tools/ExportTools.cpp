#include "app/tools/ExportTools.h"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "app/coordinator/ExportCoordinator.h"
#include "app/folders/FileAccessManager.h"
#include "app/tools/ExportModelCoding.h"
#include "app/tools/FileReference.h"
#include "app/tools/ToolArguments.h"
#include "app/tools/ToolError.h"

namespace fw {
namespace {

using mcp::Value;

// A fraction JSON can carry and a client can trust: 0–1, never NaN or infinite.
double clampedProgress(double progress) {
    if (!std::isfinite(progress)) {
        return 0.0;
    }
    return std::clamp(progress, 0.0, 1.0);
}

QUrl fileURL(const std::filesystem::path& path) {
    return QUrl::fromLocalFile(QString::fromStdString(path.string()));
}

}  // namespace

Value exportMovie(const ToolArguments& arguments, ExportCoordinator& coordinator,
                  FileAccessManager& files) {
    const Value* inputs = arguments.find("inputs");
    const mcp::Array* inputList = inputs != nullptr ? inputs->arrayValue() : nullptr;
    if (inputList == nullptr || inputList->empty()) {
        throw ToolError("invalid_inputs", tool_errors::kNoInputs);
    }
    const Value* output = arguments.find("output");
    if (output == nullptr) {
        throw ToolError("missing_output", tool_errors::kNoOutput);
    }
    const std::optional<std::string> codecText = arguments.optionalString("codec");
    const std::optional<std::string> qualityText = arguments.optionalString("quality");
    const auto codec = exportCodecFromRawValue(codecText.value_or("hevc"));
    if (!codec) {
        throw ToolError("unsupported_codec", tool_errors::kUnsupportedCodec);
    }
    const auto quality = exportQualityFromRawValue(qualityText.value_or("high"));
    if (!quality) {
        throw ToolError("unsupported_quality", tool_errors::kUnsupportedQuality);
    }

    // No bounds here: sizes, rates and bit rates out of range are the coordinator's to refuse.
    ExportRequest request;
    request.settings.width = arguments.requiredInteger("width");
    request.settings.height = arguments.requiredInteger("height");
    request.settings.frameRate = arguments.integer("frame_rate", 30);
    request.settings.codec = *codec;
    request.settings.quality = *quality;
    request.settings.customBitrateMbps = arguments.number("custom_bitrate_mbps");
    request.overwrite = arguments.boolean("overwrite").value_or(false);

    std::vector<FolderFileReference> inputReferences;
    inputReferences.reserve(inputList->size());
    request.inputURLs.reserve(inputList->size());
    for (const Value& input : *inputList) {
        ResolvedFileReference resolved = resolveFileReference(input, false, files);
        request.inputURLs.push_back(fileURL(resolved.path));
        inputReferences.push_back(std::move(resolved.reference));
    }
    ResolvedFileReference movie = resolveFileReference(*output, true, files);
    request.outputURL = fileURL(movie.path);
    // The export reaches every file beneath its folder's descriptor from here on.
    request.fileSource =
        ExportFileSource::automation(std::move(inputReferences), std::move(movie.reference));

    const ExportResult<QUuid> started = coordinator.startExport(request);
    if (!started) {
        throw ToolError::from(started.failure());
    }
    return Value::object({{"job_id", uuidText(started.value())}, {"state", "running"}});
}

Value exportStatus(const ToolArguments& arguments, const ExportCoordinator& coordinator) {
    const std::optional<QUuid> jobID = arguments.optionalUUID("job_id");
    const std::optional<ExportJob> job = coordinator.job(jobID);
    if (!job) {
        throw ToolError("unknown_job", tool_errors::kNoMatchingJob);
    }
    return exportStatusValue(*job);
}

Value cancelExport(const ToolArguments& arguments, ExportCoordinator& coordinator) {
    const std::optional<QUuid> jobID = arguments.optionalUUID("job_id");
    // Read before cancelling: the job the cancel aims at.
    std::optional<QUuid> aimedAt = jobID;
    if (!aimedAt && coordinator.activeJob()) {
        aimedAt = coordinator.activeJob()->id;
    }
    const ExportResult<void> cancelled = coordinator.cancelExport(jobID);
    if (!cancelled) {
        throw ToolError::from(cancelled.failure());
    }
    return Value::object(
        {{"cancelled", true}, {"job_id", aimedAt ? Value(uuidText(*aimedAt)) : Value()}});
}

Value exportStatusValue(const ExportJob& job) {
    Value error;
    if (job.error) {
        const char* code = job.state == ExportJobState::cancelled ? "cancelled" : "export_failed";
        error = Value::object({{"code", code}, {"message", *job.error}});
    }
    return Value::object({{"job_id", uuidText(job.id)},
                          {"state", std::string(rawValue(job.state))},
                          {"progress", clampedProgress(job.progress)},
                          {"completed_frames", job.completedFrames},
                          {"total_frames", job.totalFrames},
                          {"settings", mcp::encodeValue(job.settings)},
                          {"output_url", job.outputURL.toLocalFile().toStdString()},
                          {"error", std::move(error)}});
}

}  // namespace fw
