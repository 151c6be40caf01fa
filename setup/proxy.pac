// Proxy auto-configuration served by Korvanet's administration port at
// /autoconfig. Browsers of the office network load it from
// http://HOST:3129/autoconfig, where HOST is the computer Korvanet runs on.
// Replace "korvanet-host" below with that computer's name or IP address.
function FindProxyForURL(url, host)
{
    // Names without a dot and the local network are reached directly.
    if (isPlainHostName(host) ||
        isInNet(host, "127.0.0.0", "255.0.0.0") ||
        isInNet(host, "10.0.0.0", "255.0.0.0") ||
        isInNet(host, "172.16.0.0", "255.240.0.0") ||
        isInNet(host, "192.168.0.0", "255.255.0.0"))
        return "DIRECT";
    return "PROXY korvanet-host:3128; DIRECT";
}
