// A real authorization server on loopback for the token endpoint tests: oidc-provider with the
// client credentials and refresh token grants. Started by the tests as
//   node server.mjs CONFIG.json
// where the configuration names the clients ({"clients": [ ...client metadata... ]}); a client
// with "public_key_pem" gets that key as its JSON Web Key Set. It prints one JSON line once it
// listens: {"issuer": ..., "token_endpoint": ..., "refresh_tokens": {client_id: token}}, then
// serves until its standard input ends.
import { createServer } from 'node:http';
import { createPublicKey } from 'node:crypto';
import { readFileSync } from 'node:fs';
import Provider from 'oidc-provider';

const config = JSON.parse(readFileSync(process.argv[2], 'utf8'));
const server = createServer();
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const issuer = `http://127.0.0.1:${server.address().port}`;

const clients = config.clients.map((client) => {
  const { public_key_pem: pem, ...metadata } = client;
  if (pem) {
    metadata.jwks = { keys: [createPublicKey(pem).export({ format: 'jwk' })] };
  }
  return metadata;
});

const provider = new Provider(issuer, {
  clients,
  features: { clientCredentials: { enabled: true }, devInteractions: { enabled: false } },
  scopes: ['openid', 'offline_access', 'read', 'write'],
  clientAuthMethods: ['client_secret_basic', 'client_secret_post', 'private_key_jwt', 'none'],
  enabledJWA: { clientAuthSigningAlgValues: ['ES256'] },
  findAccount: async (ctx, id) => ({ accountId: id, claims: async () => ({ sub: id }) }),
  rotateRefreshToken: false,
});
server.on('request', provider.callback());

const refreshTokens = {};
for (const metadata of clients) {
  if (!(metadata.grant_types || []).includes('refresh_token')) continue;
  const client = await provider.Client.find(metadata.client_id);
  const grant = new provider.Grant({ accountId: 'tester', clientId: client.clientId });
  grant.addOIDCScope('openid offline_access');
  const grantId = await grant.save();
  const token = new provider.RefreshToken({
    accountId: 'tester', client, grantId, gty: 'authorization_code',
    scope: 'openid offline_access', iat: Math.floor(Date.now() / 1000),
  });
  refreshTokens[metadata.client_id] = await token.save();
}

process.stdout.write(JSON.stringify({
  issuer, token_endpoint: `${issuer}/token`, refresh_tokens: refreshTokens,
}) + '\n');
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
