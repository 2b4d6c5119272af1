# The report for brolendavir.exe: why a device is done or not, in one line. An Intune Remediations
# detection script (no remediation script needed), or run by hand in the signed-in user's context.
# It reads and changes nothing. It prints exactly one line, the verdict and its reason: "removed",
# "not removed: ..." (what will load QuantorelixExcelLink.xla again for this user) or "cannot tell:
# ..." (what it could not read), and exits 0 for removed, 1 otherwise. Nothing goes to stderr.
# It decides as detect-removal.ps1 does. Windows PowerShell 5.1, no modules.

. (Join-Path $PSScriptRoot 'removal-rule.ps1')

# Run as a file, not dot-sourced.
if ($MyInvocation.InvocationName -ne '.') {
    # A progress record (modules prepared for first use) would reach stderr.
    $ProgressPreference = 'SilentlyContinue'
    try {
        $line = Get-RemovalVerdict
    } catch {
        $line = "cannot tell: $_"
    }
    Write-Output $line
    if ($line -eq 'removed') { exit 0 }
    exit 1
}
