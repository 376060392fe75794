#pragma once

// Headers of every answer, the WebSocket upgrade's too: no other site may frame the page, and
// the page loads nothing from elsewhere, leaks no address and lets nothing guess a type.
template <class Fields>
void setGuardHeaders(Fields& fields)
{
    fields.set("Content-Security-Policy",
               "default-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'");
    fields.set("X-Frame-Options", "DENY");
    fields.set("Referrer-Policy", "no-referrer");
    fields.set("X-Content-Type-Options", "nosniff");
}
