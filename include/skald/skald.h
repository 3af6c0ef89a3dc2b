#pragma once

// Everything a host program needs to use the SDK.
#include "skald/attachment.h"
#include "skald/breadcrumb.h"
#include "skald/diagnostic_payloads.h"
#include "skald/error.h"
#include "skald/event.h"
#include "skald/exception_object.h"
#include "skald/lifecycle.h"
#include "skald/metrics.h"
#include "skald/options.h"
#include "skald/scope.h"
#include "skald/scoped_span.h"
#include "skald/sdk.h"
#include "skald/span.h"
#include "skald/span_context.h"
#include "skald/user.h"
