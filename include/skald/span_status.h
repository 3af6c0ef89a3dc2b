#pragma once

namespace skald {

/// How a span ended. Values outside 1–17 are written "undefined".
enum class SpanStatus : unsigned {
    Undefined = 0,
    Ok = 1,
    DeadlineExceeded = 2,
    Unauthenticated = 3,
    PermissionDenied = 4,
    NotFound = 5,
    ResourceExhausted = 6,
    InvalidArgument = 7,
    Unimplemented = 8,
    Unavailable = 9,
    InternalError = 10,
    UnknownError = 11,
    Cancelled = 12,
    AlreadyExists = 13,
    FailedPrecondition = 14,
    Aborted = 15,
    OutOfRange = 16,
    DataLoss = 17,
};

/// The JSON name ("ok", "deadline_exceeded", ...).
const char* nameForSpanStatus(SpanStatus status);

/// Where a transaction's name comes from. Values outside 1–5 are written "custom".
enum class TransactionNameSource : int {
    Custom = 0,
    Url = 1,
    Route = 2,
    View = 3,
    Component = 4,
    Task = 5,
};

const char* nameForTransactionNameSource(TransactionNameSource source);

}  // namespace skald
