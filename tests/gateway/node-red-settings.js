// Node-RED as a plant runs it, minus the editor: the stock runtime and nodes,
// no HTTP server, the log on standard output.
module.exports = {
    httpAdminRoot: false,
    httpNodeRoot: false,
    credentialSecret: false,
    flowFilePretty: true,
    logging: { console: { level: "info", metrics: false, audit: false } },
    telemetry: { enabled: false },
};
